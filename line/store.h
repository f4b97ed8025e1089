// Stores records: each one whole in one transaction keyed by its id, or not
// at all. A record already stored (the same id) is left as it is, so loading
// a folder again, or after a crash, stores nothing twice.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "line/database.h"
#include "line/record.h"

namespace line {

enum class StoreResult {
  kStored,
  kAlreadyThere,
  kUnavailable,  // the database went away: nothing of the record was stored
  kFailed,       // the database refused it: nothing was stored
};

class RecordStore {
 public:
  explicit RecordStore(Database* db);
  ~RecordStore();

  // source: where the record was read from, kept beside it.
  StoreResult Store(const Record& record, const std::string& source, std::string* error);

  // Called inside each record's transaction, its rows written, just before
  // the commit (a test kills the process there).
  void SetBeforeCommit(std::function<void()> hook) { beforeCommit_ = std::move(hook); }

 private:
  bool Prepare(std::string* error);
  DbStatus ResolveQuantities(const Record& record);
  DbStatus WriteRows(const Record& record, int64_t runKey);
  // The run's own row: its fields, its packed measurements, where it came from.
  void BindRun(Statement& run, const Record& record, const std::string& source);
  DbStatus QuantityKey(const Measurement& m, int64_t* key);
  StoreResult Failed(DbStatus status, std::string* error);

  Database* db_;
  std::unique_ptr<Statement> insertRun_;
  std::unique_ptr<Statement> findQuantity_;
  std::unique_ptr<Statement> insertQuantity_;
  std::unique_ptr<Statement> insertUpgrade_;
  std::unique_ptr<Inserter> tests_;
  std::unique_ptr<Inserter> measurements_;
  std::unique_ptr<Inserter> steps_;
  // Quantities known to be stored (signature to key), and those added by the
  // transaction under way, kept only once it commits.
  std::unordered_map<std::string, int64_t> quantities_;
  std::unordered_map<std::string, int64_t> added_;
  std::string signature_;
  std::vector<int64_t> keys_;  // each measurement's quantity, of the record being stored
  std::string pack_;
  std::function<void()> beforeCommit_;
};

// The text that tells quantities apart: name, unit and limits as a JSON
// array, numbers in their shortest exact form (["Vs","V",4.7,5.5]).
void QuantitySignature(const Measurement& m, std::string* out);
// A double in its shortest exact text.
std::string ShortestText(double value);

// runs.value_pack: every measurement of a run as its quantity key (32 bits)
// and value (IEEE 754 double), little-endian, in record order, so that the
// statistics read one row a run instead of one a measurement.
constexpr size_t kPackedSize = 12;
void PackMeasurement(std::string* pack, int64_t quantityKey, double value);
void UnpackMeasurement(const char* at, int64_t* quantityKey, double* value);

}  // namespace line
