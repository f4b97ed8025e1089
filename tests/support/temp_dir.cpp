#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>

TempDir::TempDir() {
  char pattern[] = "/tmp/qxtest-XXXXXX";
  if (::mkdtemp(pattern) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}
