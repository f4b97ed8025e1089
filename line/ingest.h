// Loading records into the database: one file at a time (memory stays flat
// however many there are), each record whole in its own transaction.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "line/database.h"
#include "line/record.h"
#include "line/store.h"

namespace line {

struct IngestCounts {
  uint64_t stored = 0;
  uint64_t alreadyThere = 0;
  uint64_t refused = 0;
};

enum class FileOutcome {
  kStored,
  kAlreadyThere,
  kRefused,      // not a record of the schema; *message says why
  kGone,         // the file vanished before it was read
  kUnavailable,  // the database cannot be reached: try the file again later
  kFailed,       // the database refused the record
};

class Ingester {
 public:
  explicit Ingester(Database* db);
  FileOutcome Ingest(const std::string& path, std::string* message);
  const IngestCounts& counts() const { return counts_; }

 private:
  RecordReader reader_;
  Record record_;
  RecordStore store_;
  IngestCounts counts_;
  uint64_t killAt_ = 0;  // the test hook's record number, 0 for none
};

// "stored N, already there M, refused K"
std::string CountsText(const IngestCounts& counts);

// The record files under paths, in path order: a file as named, and in a
// folder (at any depth) the files named *.json.
std::vector<std::string> ListRecordFiles(const std::vector<std::string>& paths);

// qxline ingest: returns the exit status (0, or 1 when anything was refused
// or the database failed).
int RunIngest(const std::string& url, const std::vector<std::string>& paths, std::FILE* out,
              std::FILE* err);

}  // namespace line
