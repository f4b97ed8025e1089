// qxline watch: a record renamed into the folder is stored within a second
// or so; a refused one is said once; a record that arrives while the
// PostgreSQL server is down is stored once it is back, and only once, with
// the outage said once.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "tests/line/line_support.h"
#include "tests/support/child_process.h"

namespace {

line::RunSpec Record(const char* id, int64_t serial, int64_t startMs) {
  line::RunSpec run;
  run.id = id;
  run.station = "final";
  run.serialNumber = serial;
  run.startMs = startMs;
  run.endMs = startMs + 1000;
  line::TestSpec t;
  t.name = "Vs and Current";
  t.measurements.push_back({"Vs", 5.02, "V", 4.7, 5.5, {}});
  run.tests.push_back(t);
  return run;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class Watch {
 public:
  Watch(const std::string& url, const std::string& dir)
      : child_({BuiltProgramDir() + "/qxline", "watch", "--db", url, dir}, {}, true) {}
  // Waits for text in the output; how long it took, or -1.
  long Until(const std::string& text, int timeoutMs) {
    auto start = std::chrono::steady_clock::now();
    if (!child_.ReadUntil(text, timeoutMs)) return -1;
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
  }
  int Stop() {
    child_.Terminate();
    tail_ = child_.ReadAll(5000);
    return child_.Wait(5000);
  }
  std::string output() const { return child_.output() + tail_; }

 private:
  ChildProcess child_;
  std::string tail_;
};

TEST(LineWatch, StoresWhatAppearsAndWaitsOutAnOutage) {
  TempDir dir;
  PostgresCluster pg;
  std::string records = dir.File("records");
  ASSERT_EQ(0, std::system(("mkdir -p " + records).c_str()));
  const int64_t t0 = 1772438400000;  // 2026-03-02T08:00:00.000Z

  {
    SCOPED_TRACE("SQLite");
    Watch watch(dir.File("line.sqlite"), records);
    ASSERT_GE(watch.Until("watching " + records, 10000), 0) << watch.output();
    WriteRecords(records, {Record("watch-a", 201, t0)});
    long ms = watch.Until("stored " + records + "/201_final_", 2000);
    EXPECT_GE(ms, 0) << "not stored within 2 s: " << watch.output();
    std::printf("stored %ld ms after it appeared\n", ms);
    std::ofstream(records + "/bad.json") << "{}";
    EXPECT_GE(watch.Until("bad.json: refused: schema: missing", 2000), 0) << watch.output();
    EXPECT_EQ(-1, watch.Until("never", 800));  // a few more looks at the folder
    EXPECT_EQ(1, watch.Stop());                // 1: something was refused
    EXPECT_EQ(1u, Occurrences(watch.output(), "refused: schema"));
    EXPECT_NE(std::string::npos, watch.output().find("stored 1, already there 0, refused 1"));
  }

  if (pg.url().empty()) GTEST_SKIP() << pg.skip();
  std::remove((records + "/bad.json").c_str());
  Watch watch(pg.url(), records);
  ASSERT_GE(watch.Until("stored " + records + "/201_final_", 10000), 0) << watch.output();
  ASSERT_TRUE(pg.Stop());
  WriteRecords(records, {Record("watch-b", 202, t0 + 60000)});
  EXPECT_GE(watch.Until("the database is unreachable", 5000), 0) << watch.output();
  EXPECT_EQ(-1, watch.Until("stored " + records + "/202", 2500));  // retried meanwhile
  ASSERT_TRUE(pg.Start());
  EXPECT_GE(watch.Until("the database is back", 5000), 0) << watch.output();
  EXPECT_GE(watch.Until("stored " + records + "/202_final_", 3000), 0) << watch.output();
  EXPECT_EQ(0, watch.Stop());
  EXPECT_EQ(1u, Occurrences(watch.output(), "unreachable")) << watch.output();
  EXPECT_NE(std::string::npos, watch.output().find("stored 2, already there 0, refused 0"));
  ProgramRun again = RunProgram({"qxline", "ingest", "--db", pg.url(), records});
  EXPECT_EQ("stored 0, already there 2, refused 0\n", again.out);
}

}  // namespace
