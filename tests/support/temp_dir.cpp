#include "tests/support/temp_dir.h"

#include <filesystem>
#include <random>
#include <string>

TempDir::TempDir() {
  std::error_code error;
  std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) return;
  std::random_device seed;
  std::mt19937_64 random(seed());
  // A fresh name: create_directory reports whether this call made it.
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = base / ("qxtest-" + std::to_string(random() % 1000000000));
    if (std::filesystem::create_directory(candidate, error)) {
      path_ = candidate.generic_string();
      return;
    }
  }
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}
