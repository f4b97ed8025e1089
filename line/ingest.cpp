#include "line/ingest.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "line/process.h"

namespace line {

namespace fs = std::filesystem;

namespace {

// A test hook: in the Nth record stored, just before its commit, the process
// is killed (as by kill -9), to show that a crash stores nothing half.
constexpr const char* kKillHook = "QXLINE_TEST_KILL_BEFORE_COMMIT";

bool IsRecordName(const fs::path& p) {
  std::string name = p.filename().string();
  return !name.empty() && name[0] != '.' && p.extension() == ".json";
}

}  // namespace

Ingester::Ingester(Database* db) : store_(db) {
  if (const char* hook = std::getenv(kKillHook)) killAt_ = std::strtoull(hook, nullptr, 10);
  if (killAt_ > 0) {
    store_.SetBeforeCommit([this] {
      if (counts_.stored + 1 == killAt_) KillThisProcess();
    });
  }
}

FileOutcome Ingester::Ingest(const std::string& path, std::string* message) {
  switch (reader_.Read(path, &record_, message)) {
    case ReadResult::kGone:
      return FileOutcome::kGone;
    case ReadResult::kRefused:
      ++counts_.refused;
      return FileOutcome::kRefused;
    case ReadResult::kRead:
      break;
  }
  switch (store_.Store(record_, path, message)) {
    case StoreResult::kStored:
      ++counts_.stored;
      return FileOutcome::kStored;
    case StoreResult::kAlreadyThere:
      ++counts_.alreadyThere;
      return FileOutcome::kAlreadyThere;
    case StoreResult::kUnavailable:
      return FileOutcome::kUnavailable;
    case StoreResult::kFailed:
      break;
  }
  return FileOutcome::kFailed;
}

std::string CountsText(const IngestCounts& c) {
  return "stored " + std::to_string(c.stored) + ", already there " +
         std::to_string(c.alreadyThere) + ", refused " + std::to_string(c.refused);
}

std::vector<std::string> ListRecordFiles(const std::vector<std::string>& paths) {
  std::vector<std::string> files;
  for (const std::string& path : paths) {
    std::error_code ec;
    if (!fs::is_directory(path, ec)) {
      files.push_back(path);  // read (or refused) as named
      continue;
    }
    std::vector<std::string> found;
    for (fs::recursive_directory_iterator
             it(path, fs::directory_options::skip_permission_denied, ec),
         end;
         !ec && it != end; it.increment(ec)) {
      if (IsRecordName(it->path()) && it->is_regular_file(ec)) found.push_back(it->path().string());
    }
    std::sort(found.begin(), found.end());
    files.insert(files.end(), found.begin(), found.end());
  }
  return files;
}

int RunIngest(const std::string& url, const std::vector<std::string>& paths, std::FILE* out,
              std::FILE* err) {
  DbStatus status = DbStatus::kOk;
  std::string error;
  std::unique_ptr<Database> db = OpenDatabase(url, &status, &error);
  if (!db) {
    std::fprintf(err, "qxline: %s: %s\n", url.c_str(), error.c_str());
    return 1;
  }
  Ingester ingester(db.get());
  bool failed = false;
  uint64_t gone = 0;
  for (const std::string& path : ListRecordFiles(paths)) {
    std::string message;
    FileOutcome outcome = ingester.Ingest(path, &message);
    if (outcome == FileOutcome::kGone) {
      // Named on the command line, or gone since the folder was listed.
      std::fprintf(err, "qxline: %s: refused: not found\n", path.c_str());
      ++gone;
      continue;
    }
    if (outcome == FileOutcome::kRefused) {
      std::fprintf(err, "qxline: %s: refused: %s\n", path.c_str(), message.c_str());
    } else if (outcome == FileOutcome::kUnavailable || outcome == FileOutcome::kFailed) {
      std::fprintf(err, "qxline: %s: not stored: %s\n", path.c_str(), message.c_str());
      failed = true;
      break;
    }
  }
  IngestCounts counts = ingester.counts();
  counts.refused += gone;
  std::fprintf(out, "%s\n", CountsText(counts).c_str());
  return failed || counts.refused > 0 ? 1 : 0;
}

}  // namespace line
