// The line's database schema and its migrations. docs/line-database.md
// explains every table; a change is a new migration appended here, never an
// edit of one already released.
#include "line/schema.h"

#include "line/dialect.h"
#include "line/record.h"
#include "platform/clock.h"

namespace line {

namespace {

struct Migration {
  int version;
  std::vector<const char*> statements;
};

const Migration kMigrations[] = {
    {1,
     {
         "CREATE TABLE runs ("
         " run_key {key},"
         " id {text} NOT NULL UNIQUE,"
         " program {text} NOT NULL,"
         " version {text} NOT NULL,"
         " build {text},"
         " host {text} NOT NULL,"
         " station {text} NOT NULL,"
         " mask {text},"
         " start_ms BIGINT NOT NULL,"
         " end_ms BIGINT NOT NULL,"
         " result {text} NOT NULL,"
         " cause {text},"
         " serial_number BIGINT,"
         " mac {text},"
         " device_name {text},"
         " edition {text},"
         " firmware {text},"
         " bootloader {text},"
         " jig_type BIGINT,"
         " jig_code BIGINT,"
         " jig_values {text},"
         " limits {text},"
         " value_pack {blob} NOT NULL,"
         " source {text} NOT NULL,"
         " stored_at {text} NOT NULL)",
         // Time order, whole or per station: the queries walk these in order.
         "CREATE UNIQUE INDEX runs_by_start ON runs (start_ms, id)",
         "CREATE UNIQUE INDEX runs_by_station ON runs (station, start_ms, id)",
         "CREATE INDEX runs_by_serial ON runs (serial_number)",
         "CREATE TABLE tests ("
         " run_key BIGINT NOT NULL REFERENCES runs (run_key),"
         " position INTEGER NOT NULL,"
         " name {text} NOT NULL,"
         " status {text} NOT NULL,"
         " details {text} NOT NULL,"
         " duration_ms BIGINT NOT NULL,"
         " cause {text},"
         " PRIMARY KEY (run_key, position)){clustered}",
         "CREATE TABLE quantities ("
         " quantity_key {key},"
         " signature {text} NOT NULL UNIQUE,"
         " name {text} NOT NULL,"
         " unit {text} NOT NULL,"
         " low {real},"
         " high {real})",
         "CREATE INDEX quantities_by_name ON quantities (name)",
         "CREATE TABLE measurements ("
         " run_key BIGINT NOT NULL REFERENCES runs (run_key),"
         " test INTEGER NOT NULL,"
         " position INTEGER NOT NULL,"
         " quantity_key BIGINT NOT NULL REFERENCES quantities (quantity_key),"
         " value {real} NOT NULL,"
         " outcome {text},"
         " PRIMARY KEY (run_key, test, position)){clustered}",
         "CREATE TABLE upgrades ("
         " run_key BIGINT NOT NULL PRIMARY KEY REFERENCES runs (run_key),"
         " image_name {text} NOT NULL,"
         " image_size BIGINT,"
         " image_sha256 {text},"
         " firmware_before {text},"
         " bootloader_before {text},"
         " firmware_after {text},"
         " bootloader_after {text},"
         " pages_written BIGINT NOT NULL,"
         " code BIGINT)",
         "CREATE TABLE upgrade_steps ("
         " run_key BIGINT NOT NULL REFERENCES runs (run_key),"
         " position INTEGER NOT NULL,"
         " name {text} NOT NULL,"
         " duration_ms BIGINT NOT NULL,"
         " PRIMARY KEY (run_key, position)){clustered}",
         "CREATE VIEW measurement_rows AS"
         " SELECT m.run_key, m.test, m.position, q.name, m.value, q.unit, q.low, q.high, m.outcome"
         " FROM measurements m JOIN quantities q ON q.quantity_key = m.quantity_key",
     }},
};

int CurrentVersion(Database& db, std::string* error) {
  auto st = db.Prepare("SELECT MAX(version) FROM schema_version");
  if (!st) {
    *error = db.error();
    return -1;
  }
  int version = 0;
  if (st->Step() && !st->IsNull(0)) version = static_cast<int>(st->Int(0));
  if (st->status() != DbStatus::kOk) {
    *error = db.error();
    return -1;
  }
  return version;
}

}  // namespace

int LatestSchemaVersion() {
  return kMigrations[sizeof kMigrations / sizeof kMigrations[0] - 1].version;
}

DbStatus Migrate(Database& db, std::string* error) {
  DbStatus s = db.Execute(
      RenderSchema(db.dialect(),
                   "CREATE TABLE IF NOT EXISTS schema_version ("
                   " version INTEGER NOT NULL PRIMARY KEY, applied_at {text} NOT NULL)"));
  if (s != DbStatus::kOk) {
    *error = "cannot create schema_version: " + db.error();
    return s;
  }
  // Up to date (the usual case): no write lock is taken, so a query never
  // waits for a loader.
  int found = CurrentVersion(db, error);
  if (found < 0) return DbStatus::kFailed;
  if (found == LatestSchemaVersion()) return DbStatus::kOk;
  if ((s = db.Begin()) != DbStatus::kOk) {
    *error = db.error();
    return s;
  }
  // A rollback on every way out but the commit.
  auto fail = [&db, error](DbStatus status, const std::string& what) {
    *error = what;
    db.Rollback();
    return status;
  };
  if (const char* lock = LockSchema(db.dialect())) {
    if ((s = db.Execute(lock)) != DbStatus::kOk) return fail(s, db.error());
  }
  int version = CurrentVersion(db, error);
  if (version < 0) return fail(DbStatus::kFailed, *error);
  if (version > LatestSchemaVersion()) {
    return fail(DbStatus::kFailed, "the database's schema is version " + std::to_string(version) +
                                       ", newer than this qxline's " +
                                       std::to_string(LatestSchemaVersion()));
  }
  std::string now = FormatUtcMs(platform::WallSeconds() * 1000);
  for (const Migration& m : kMigrations) {
    if (m.version <= version) continue;
    for (const char* sql : m.statements) {
      if ((s = db.Execute(RenderSchema(db.dialect(), sql))) != DbStatus::kOk) {
        return fail(s, "migration " + std::to_string(m.version) + ": " + db.error());
      }
    }
    auto st = db.Prepare("INSERT INTO schema_version (version, applied_at) VALUES (?, ?)");
    if (!st) return fail(DbStatus::kFailed, db.error());
    st->BindInt(1, m.version);
    st->BindText(2, now);
    st->Step();
    if (st->status() != DbStatus::kOk) return fail(st->status(), db.error());
  }
  if ((s = db.Commit()) != DbStatus::kOk) return fail(s, db.error());
  return DbStatus::kOk;
}

bool IsPostgresUrl(const std::string& url) {
  return url.rfind("postgresql://", 0) == 0 || url.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Database> OpenDatabase(const std::string& url, DbStatus* status,
                                       std::string* error) {
  std::unique_ptr<Database> db =
      IsPostgresUrl(url) ? OpenPostgres(url, status, error) : OpenSqlite(url, status, error);
  if (!db) return nullptr;
  *status = Migrate(*db, error);
  if (*status != DbStatus::kOk) return nullptr;
  return db;
}

}  // namespace line
