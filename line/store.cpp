#include "line/store.h"

#include <charconv>
#include <cstring>

#include "platform/clock.h"

namespace line {

namespace {

void AppendShortest(std::string* out, double v) {
  char text[32];
  auto end = std::to_chars(text, text + sizeof text, v).ptr;
  out->append(text, static_cast<size_t>(end - text));
}

void AppendJsonString(std::string* out, std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  out->push_back('"');
  for (char ch : text) {
    unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out->push_back('\\');
      out->push_back(ch);
    } else if (c < 0x20) {
      out->append("\\u00");
      out->push_back(kHex[c >> 4]);
      out->push_back(kHex[c & 15]);
    } else {
      out->push_back(ch);
    }
  }
  out->push_back('"');
}

void AppendNullable(std::string* out, const std::optional<double>& v) {
  if (v) {
    AppendShortest(out, *v);
  } else {
    out->append("null");
  }
}

void BindText(Statement& st, int i, const NullableText& v) {
  if (v) {
    st.BindText(i, *v);
  } else {
    st.BindNull(i);
  }
}

void BindInt(Statement& st, int i, const std::optional<int64_t>& v) {
  if (v) {
    st.BindInt(i, *v);
  } else {
    st.BindNull(i);
  }
}

void AddText(Inserter& in, const NullableText& v) {
  if (v) {
    in.Text(*v);
  } else {
    in.Null();
  }
}

}  // namespace

void PackMeasurement(std::string* pack, int64_t quantityKey, double value) {
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof bits);
  uint32_t key = static_cast<uint32_t>(quantityKey);
  for (int i = 0; i < 4; ++i) pack->push_back(static_cast<char>(key >> (8 * i)));
  for (int i = 0; i < 8; ++i) pack->push_back(static_cast<char>(bits >> (8 * i)));
}

void UnpackMeasurement(const char* at, int64_t* quantityKey, double* value) {
  const unsigned char* b = reinterpret_cast<const unsigned char*>(at);
  uint32_t key = 0;
  uint64_t bits = 0;
  for (int i = 3; i >= 0; --i) key = key << 8 | b[i];
  for (int i = 11; i >= 4; --i) bits = bits << 8 | b[i];
  std::memcpy(value, &bits, sizeof bits);
  *quantityKey = key;
}

std::string ShortestText(double value) {
  std::string out;
  AppendShortest(&out, value);
  return out;
}

void QuantitySignature(const Measurement& m, std::string* out) {
  out->clear();
  out->push_back('[');
  AppendJsonString(out, m.name);
  out->push_back(',');
  AppendJsonString(out, m.unit);
  out->push_back(',');
  AppendNullable(out, m.low);
  out->push_back(',');
  AppendNullable(out, m.high);
  out->push_back(']');
}

RecordStore::RecordStore(Database* db) : db_(db) {}
RecordStore::~RecordStore() = default;

bool RecordStore::Prepare(std::string* error) {
  insertRun_ = db_->Prepare(
      "INSERT INTO runs (id, program, version, build, host, station, mask, start_ms, end_ms,"
      " result, cause, serial_number, mac, device_name, edition, firmware, bootloader, jig_type,"
      " jig_code, jig_values, limits, value_pack, source, stored_at)"
      " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
      " ON CONFLICT (id) DO NOTHING RETURNING run_key");
  findQuantity_ = db_->Prepare("SELECT quantity_key FROM quantities WHERE signature = ?");
  insertQuantity_ = db_->Prepare(
      "INSERT INTO quantities (signature, name, unit, low, high) VALUES (?, ?, ?, ?, ?)"
      " ON CONFLICT (signature) DO NOTHING RETURNING quantity_key");
  insertUpgrade_ = db_->Prepare(
      "INSERT INTO upgrades (run_key, image_name, image_size, image_sha256, firmware_before,"
      " bootloader_before, firmware_after, bootloader_after, pages_written, code)"
      " VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
  tests_ = db_->PrepareInsert(
      "tests", {"run_key", "position", "name", "status", "details", "duration_ms", "cause"});
  measurements_ = db_->PrepareInsert(
      "measurements", {"run_key", "test", "position", "quantity_key", "value", "outcome"});
  steps_ = db_->PrepareInsert("upgrade_steps", {"run_key", "position", "name", "duration_ms"});
  if (!insertRun_ || !findQuantity_ || !insertQuantity_ || !insertUpgrade_ || !tests_ ||
      !measurements_ || !steps_) {
    *error = db_->error();
    insertRun_.reset();
    return false;
  }
  return true;
}

StoreResult RecordStore::Failed(DbStatus status, std::string* error) {
  *error = db_->error();
  tests_->Discard();
  measurements_->Discard();
  steps_->Discard();
  insertRun_->Reset();
  db_->Rollback();
  added_.clear();
  return status == DbStatus::kUnavailable ? StoreResult::kUnavailable : StoreResult::kFailed;
}

DbStatus RecordStore::QuantityKey(const Measurement& m, int64_t* key) {
  QuantitySignature(m, &signature_);
  auto known = quantities_.find(signature_);
  if (known != quantities_.end()) {
    *key = known->second;
    return DbStatus::kOk;
  }
  auto added = added_.find(signature_);
  if (added != added_.end()) {
    *key = added->second;
    return DbStatus::kOk;
  }
  // Stored by an earlier run of the loader, or by another one beside it.
  for (Statement* st : {findQuantity_.get(), insertQuantity_.get(), findQuantity_.get()}) {
    st->Reset();
    st->BindText(1, signature_);
    if (st == insertQuantity_.get()) {
      st->BindText(2, m.name);
      st->BindText(3, m.unit);
      m.low ? st->BindDouble(4, *m.low) : st->BindNull(4);
      m.high ? st->BindDouble(5, *m.high) : st->BindNull(5);
    }
    bool found = st->Step();
    if (found) *key = st->Int(0);
    DbStatus status = st->status();
    st->Reset();
    if (status != DbStatus::kOk) return status;
    if (found) {
      (st == insertQuantity_.get() ? added_ : quantities_)[signature_] = *key;
      return DbStatus::kOk;
    }
  }
  return DbStatus::kFailed;
}

DbStatus RecordStore::ResolveQuantities(const Record& r) {
  keys_.clear();
  pack_.clear();
  for (const Measurement& m : r.measurements) {
    int64_t key = 0;
    DbStatus s = QuantityKey(m, &key);
    if (s != DbStatus::kOk) return s;
    keys_.push_back(key);
    PackMeasurement(&pack_, key, m.value);
  }
  return DbStatus::kOk;
}

DbStatus RecordStore::WriteRows(const Record& r, int64_t runKey) {
  DbStatus s = DbStatus::kOk;
  for (size_t i = 0; i < r.tests.size(); ++i) {
    const TestRow& t = r.tests[i];
    tests_->Int(runKey);
    tests_->Int(static_cast<int64_t>(i));
    tests_->Text(t.name);
    tests_->Text(t.status);
    tests_->Text(t.details);
    tests_->Int(t.durationMs);
    AddText(*tests_, t.cause);
    if ((s = tests_->EndRow()) != DbStatus::kOk) return s;
  }
  if ((s = tests_->Finish()) != DbStatus::kOk) return s;
  for (size_t i = 0; i < r.tests.size(); ++i) {
    const TestRow& t = r.tests[i];
    for (size_t j = 0; j < t.measurementCount; ++j) {
      const Measurement& m = r.measurements[t.firstMeasurement + j];
      measurements_->Int(runKey);
      measurements_->Int(static_cast<int64_t>(i));
      measurements_->Int(static_cast<int64_t>(j));
      measurements_->Int(keys_[t.firstMeasurement + j]);
      measurements_->Double(m.value);
      AddText(*measurements_, m.outcome);
      if ((s = measurements_->EndRow()) != DbStatus::kOk) return s;
    }
  }
  if ((s = measurements_->Finish()) != DbStatus::kOk) return s;
  if (!r.hasUpgrade) return DbStatus::kOk;

  const Upgrade& u = r.upgrade;
  Statement& st = *insertUpgrade_;
  st.Reset();
  st.BindInt(1, runKey);
  st.BindText(2, u.imageName);
  BindInt(st, 3, u.imageSize);
  BindText(st, 4, u.imageSha256);
  BindText(st, 5, u.firmwareBefore);
  BindText(st, 6, u.bootloaderBefore);
  BindText(st, 7, u.firmwareAfter);
  BindText(st, 8, u.bootloaderAfter);
  st.BindInt(9, u.pagesWritten);
  BindInt(st, 10, u.code);
  st.Step();
  if ((s = st.status()) != DbStatus::kOk) return s;
  for (size_t i = 0; i < u.steps.size(); ++i) {
    steps_->Int(runKey);
    steps_->Int(static_cast<int64_t>(i));
    steps_->Text(u.steps[i].name);
    steps_->Int(u.steps[i].durationMs);
    if ((s = steps_->EndRow()) != DbStatus::kOk) return s;
  }
  return steps_->Finish();
}

namespace {

// The jig's six values as a JSON list, or "" when the record has none.
std::string JigValuesText(const Record& r) {
  std::string text;
  if (!r.hasJigValues) return text;
  text.push_back('[');
  for (int i = 0; i < 6; ++i) {
    if (i > 0) text.push_back(',');
    AppendShortest(&text, r.jigValues[i]);
  }
  text.push_back(']');
  return text;
}

}  // namespace

void RecordStore::BindRun(Statement& run, const Record& r, const std::string& source) {
  std::string jigValues = JigValuesText(r);
  run.BindText(1, r.id);
  run.BindText(2, r.program);
  run.BindText(3, r.version);
  BindText(run, 4, r.build);
  run.BindText(5, r.host);
  run.BindText(6, r.StationKey());
  BindText(run, 7, r.mask);
  run.BindInt(8, r.startMs);
  run.BindInt(9, r.endMs);
  run.BindText(10, r.result);
  BindText(run, 11, r.cause);
  BindInt(run, 12, r.serialNumber);
  BindText(run, 13, r.mac);
  BindText(run, 14, r.deviceName);
  BindText(run, 15, r.edition);
  BindText(run, 16, r.firmware);
  BindText(run, 17, r.bootloader);
  BindInt(run, 18, r.jigType);
  BindInt(run, 19, r.jigCode);
  BindText(run, 20, r.hasJigValues ? NullableText(jigValues) : NullableText());
  BindText(run, 21, r.limits);
  run.BindBlob(22, pack_);
  run.BindText(23, source);
  run.BindText(24, FormatUtcMs(platform::WallSeconds() * 1000));
}

StoreResult RecordStore::Store(const Record& r, const std::string& source, std::string* error) {
  if (!insertRun_ && !Prepare(error)) return StoreResult::kFailed;
  DbStatus s = db_->Begin();
  if (s != DbStatus::kOk) {
    *error = db_->error();
    return s == DbStatus::kUnavailable ? StoreResult::kUnavailable : StoreResult::kFailed;
  }
  // The quantities first: the run's row carries their keys.
  if ((s = ResolveQuantities(r)) != DbStatus::kOk) return Failed(s, error);
  Statement& run = *insertRun_;
  run.Reset();
  BindRun(run, r, source);
  bool inserted = run.Step();
  int64_t runKey = inserted ? run.Int(0) : 0;
  s = run.status();
  run.Reset();
  if (s != DbStatus::kOk) return Failed(s, error);
  if (!inserted) {
    db_->Rollback();
    added_.clear();
    return StoreResult::kAlreadyThere;
  }
  if ((s = WriteRows(r, runKey)) != DbStatus::kOk) return Failed(s, error);
  if (beforeCommit_) beforeCommit_();
  if ((s = db_->Commit()) != DbStatus::kOk) return Failed(s, error);
  for (auto& entry : added_) quantities_.insert(entry);
  added_.clear();
  return StoreResult::kStored;
}

}  // namespace line
