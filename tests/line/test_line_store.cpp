// Storing records: the schema's migrations, and a loader killed in the
// middle of a record's transaction, on SQLite and on PostgreSQL: the next
// ingest leaves exactly the rows of one clean ingest.
#include <gtest/gtest.h>

#include "line/database.h"
#include "line/ingest.h"
#include "line/record.h"
#include "tests/line/line_support.h"

namespace {

int64_t Count(line::Database& db, const std::string& what) {
  auto st = db.Prepare("SELECT COUNT(*) FROM " + what);
  EXPECT_TRUE(st != nullptr) << db.error();
  if (!st || !st->Step()) return -1;
  return st->Int(0);
}

std::unique_ptr<line::Database> Open(const std::string& url) {
  line::DbStatus status = line::DbStatus::kOk;
  std::string error;
  auto db = line::OpenDatabase(url, &status, &error);
  EXPECT_TRUE(db != nullptr) << error;
  return db;
}

TEST(LineStore, MigrationsRunOnceAndANewerSchemaIsRefused) {
  TempDir dir;
  std::string url = dir.File("line.sqlite");
  {
    auto db = Open(url);
    ASSERT_TRUE(db);
    EXPECT_EQ(0, Count(*db, "runs"));
  }
  auto db = Open(url);  // opened again: nothing applied twice
  ASSERT_TRUE(db);
  EXPECT_EQ(1, Count(*db, "schema_version WHERE version = 1"));
  EXPECT_EQ(1, Count(*db, "schema_version"));
  ASSERT_EQ(line::DbStatus::kOk,
            db->Execute("INSERT INTO schema_version (version, applied_at) VALUES (99, 'later')"));
  db.reset();
  line::DbStatus status = line::DbStatus::kOk;
  std::string error;
  EXPECT_FALSE(line::OpenDatabase(url, &status, &error));
  EXPECT_EQ("the database's schema is version 99, newer than this qxline's 1", error);
}

TEST(LineStore, KilledMidRecordThenAgainStoresEachRecordOnce) {
  TempDir dir;
  PostgresCluster pg;
  if (pg.url().empty()) std::printf("PostgreSQL part skipped: %s\n", pg.skip().c_str());
  std::string records = dir.File("records");
  ProgramRun made = RunProgram({"qxrecords", "--out", records, "--devices", "8", "--seed", "7"});
  ASSERT_EQ(0, made.status) << made.err;

  // What one clean ingest holds: the rows of every record, and of the first
  // eleven (in the loader's order) for the one killed in the twelfth.
  std::vector<std::string> files = line::ListRecordFiles({records});
  ASSERT_GT(files.size(), 20u);
  const size_t killedIn = 12;
  struct Rows {
    int64_t runs = 0, tests = 0, measurements = 0;
  } all, before;
  line::RecordReader reader;
  line::Record r;
  std::string reason;
  for (size_t i = 0; i < files.size(); ++i) {
    ASSERT_EQ(line::ReadResult::kRead, reader.Read(files[i], &r, &reason)) << reason;
    for (Rows* rows : {&all, &before}) {
      if (rows == &before && i + 1 >= killedIn) continue;
      rows->runs += 1;
      rows->tests += static_cast<int64_t>(r.tests.size());
      rows->measurements += static_cast<int64_t>(r.measurements.size());
    }
  }
  for (const std::string& url : Databases(dir, pg)) {
    SCOPED_TRACE(url);
    ProgramRun killed = RunProgram({"qxline", "ingest", "--db", url, records},
                                   {"QXLINE_TEST_KILL_BEFORE_COMMIT=" + std::to_string(killedIn)});
    EXPECT_EQ(128 + 9, killed.status) << killed.out << killed.err;
    {
      auto db = Open(url);
      ASSERT_TRUE(db);
      EXPECT_EQ(before.runs, Count(*db, "runs"));
      EXPECT_EQ(before.tests, Count(*db, "tests"));
      EXPECT_EQ(before.measurements, Count(*db, "measurements"));
    }
    ProgramRun again = RunProgram({"qxline", "ingest", "--db", url, records});
    EXPECT_EQ(0, again.status) << again.err;
    EXPECT_EQ("stored " + std::to_string(all.runs - before.runs) + ", already there " +
                  std::to_string(before.runs) + ", refused 0\n",
              again.out);
    auto db = Open(url);
    ASSERT_TRUE(db);
    EXPECT_EQ(all.runs, Count(*db, "runs"));
    EXPECT_EQ(all.tests, Count(*db, "tests"));
    EXPECT_EQ(all.measurements, Count(*db, "measurements"));
    EXPECT_EQ(all.measurements, Count(*db, "measurement_rows"));  // every quantity found
    EXPECT_EQ(static_cast<int64_t>(files.size()), Count(*db, "(SELECT DISTINCT id FROM runs) d"));
  }
}

}  // namespace
