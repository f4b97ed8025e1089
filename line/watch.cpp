#include "line/watch.h"

#include <memory>
#include <unordered_set>

#include "line/database.h"
#include "line/ingest.h"
#include "line/process.h"

namespace line {

namespace {

// One file's outcome, counted and said.
void Tell(FileOutcome outcome, const std::string& path, const std::string& message,
          IngestCounts* total, std::FILE* out, std::FILE* err) {
  switch (outcome) {
    case FileOutcome::kStored:
      ++total->stored;
      std::fprintf(out, "stored %s\n", path.c_str());
      break;
    case FileOutcome::kAlreadyThere:
      ++total->alreadyThere;
      break;
    case FileOutcome::kRefused:
      ++total->refused;
      std::fprintf(err, "qxline: %s: refused: %s\n", path.c_str(), message.c_str());
      break;
    default:
      std::fprintf(err, "qxline: %s: not stored: %s\n", path.c_str(), message.c_str());
      break;
  }
  std::fflush(out);
  std::fflush(err);
}

// The database as watch holds it: opened again after an outage, which is
// said once, not once per record or attempt.
class WatchedDatabase {
 public:
  WatchedDatabase(const std::string& url, std::FILE* err) : url_(url), err_(err) {}

  // An ingester on a database that answers, or null (an outage).
  Ingester* Get() {
    if (db_) return ingester_.get();
    DbStatus status = DbStatus::kOk;
    std::string error;
    db_ = OpenDatabase(url_, &status, &error);
    if (!db_) {
      Lost(error);
      return nullptr;
    }
    if (outage_) {
      std::fprintf(err_, "qxline: the database is back; storing again\n");
      std::fflush(err_);
    }
    outage_ = false;
    ingester_ = std::make_unique<Ingester>(db_.get());
    return ingester_.get();
  }

  void Lost(const std::string& why) {
    if (!outage_) {
      std::fprintf(err_, "qxline: the database is unreachable (%s); retrying\n", why.c_str());
      std::fflush(err_);
    }
    outage_ = true;
    ingester_.reset();
    db_.reset();
  }

  bool open() const { return db_ != nullptr; }

 private:
  std::string url_;
  std::FILE* err_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<Ingester> ingester_;
  bool outage_ = false;
};

}  // namespace

int RunWatch(const std::string& url, const std::string& dir, std::FILE* out, std::FILE* err,
             const WatchTiming& timing) {
  std::unordered_set<std::string> done;  // stored, already there or refused
  WatchedDatabase db(url, err);
  IngestCounts total;
  std::fprintf(out, "watching %s\n", dir.c_str());
  std::fflush(out);
  for (;;) {
    Ingester* ingester = db.Get();
    if (ingester == nullptr) {
      if (WaitForStop(timing.retryMs)) break;
      continue;
    }
    for (const std::string& path : ListRecordFiles({dir})) {
      if (done.count(path) > 0) continue;
      std::string message;
      FileOutcome outcome = ingester->Ingest(path, &message);
      if (outcome == FileOutcome::kGone) continue;
      if (outcome == FileOutcome::kUnavailable) {
        db.Lost(message);
        break;
      }
      done.insert(path);
      Tell(outcome, path, message, &total, out, err);
    }
    if (WaitForStop(db.open() ? timing.pollMs : timing.retryMs)) break;
  }
  std::fprintf(out, "%s\n", CountsText(total).c_str());
  return total.refused > 0 ? 1 : 0;
}

}  // namespace line
