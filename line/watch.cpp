#include "line/watch.h"

#include <memory>
#include <unordered_set>

#include "line/database.h"
#include "line/ingest.h"
#include "line/process.h"

namespace line {

int RunWatch(const std::string& url, const std::string& dir, std::FILE* out, std::FILE* err,
             const WatchTiming& timing) {
  std::unordered_set<std::string> done;  // stored, already there or refused
  std::unique_ptr<Database> db;
  std::unique_ptr<Ingester> ingester;
  IngestCounts total;
  bool outage = false;
  // Said once per outage, not once per record or attempt.
  auto lost = [&](const std::string& why) {
    if (!outage) {
      std::fprintf(err, "qxline: the database is unreachable (%s); retrying\n", why.c_str());
      std::fflush(err);
    }
    outage = true;
    ingester.reset();
    db.reset();
  };
  std::fprintf(out, "watching %s\n", dir.c_str());
  std::fflush(out);
  for (;;) {
    if (!db) {
      DbStatus status = DbStatus::kOk;
      std::string error;
      db = OpenDatabase(url, &status, &error);
      if (!db) {
        lost(error);
        if (WaitForStop(timing.retryMs)) break;
        continue;
      }
      if (outage) {
        std::fprintf(err, "qxline: the database is back; storing again\n");
        std::fflush(err);
      }
      outage = false;
      ingester = std::make_unique<Ingester>(db.get());
    }
    for (const std::string& path : ListRecordFiles({dir})) {
      if (done.count(path) > 0) continue;
      std::string message;
      FileOutcome outcome = ingester->Ingest(path, &message);
      if (outcome == FileOutcome::kGone) continue;
      if (outcome == FileOutcome::kUnavailable) {
        lost(message);
        break;
      }
      done.insert(path);
      switch (outcome) {
        case FileOutcome::kStored:
          ++total.stored;
          std::fprintf(out, "stored %s\n", path.c_str());
          break;
        case FileOutcome::kAlreadyThere:
          ++total.alreadyThere;
          break;
        case FileOutcome::kRefused:
          ++total.refused;
          std::fprintf(err, "qxline: %s: refused: %s\n", path.c_str(), message.c_str());
          break;
        default:
          std::fprintf(err, "qxline: %s: not stored: %s\n", path.c_str(), message.c_str());
          break;
      }
      std::fflush(out);
      std::fflush(err);
    }
    if (WaitForStop(db ? timing.pollMs : timing.retryMs)) break;
  }
  std::fprintf(out, "%s\n", CountsText(total).c_str());
  return total.refused > 0 ? 1 : 0;
}

}  // namespace line
