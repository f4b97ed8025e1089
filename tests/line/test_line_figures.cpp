// The line's figures end to end, on SQLite and on a real PostgreSQL server:
// a small line whose yield, Pareto and statistics were worked out by hand,
// loaded twice with qxline ingest, then asked through the program's --json.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <nlohmann/json.hpp>

#include "line/record.h"
#include "tests/line/line_support.h"

namespace {

using Json = nlohmann::json;

// One station run: "Open Quenlox" (its time against 100 ms), "Connect to
// QXTest Server", "Vs and Current" (Vs), "DAC Test" (DAC1 2.5V), "Report Test
// Results". A run stops at a Fatal or Running test; an Error lets it go on.
struct Row {
  const char* id;
  const char* station;
  int64_t serial;  // 0: not read
  const char* start;
  int failing;  // index of the test that did not pass, -1 for none
  const char* status;
  const char* cause;
  const char* details;
  double vs;
  double openMs;
};

// Calibration limits on Vs 4.7 .. 5.5, final 4.75 .. 5.45.
const Row kLine[] = {
    {"t1", "calibration", 101, "08:00", -1, "", "", "", 5.00, 10},
    {"t2", "calibration", 102, "08:10", 3, "Error", "device", "DAC1 low", 5.10, 10},
    {"t3", "calibration", 103, "08:20", 2, "Fatal", "link", "Comm Error: (-5)", 0, 10},
    {"t4", "calibration", 102, "08:30", -1, "", "", "", 5.05, 10},
    {"t5", "calibration", 103, "08:40", 3, "Error", "device", "DAC1 low", 5.20, 10},
    {"t6", "calibration", 0, "08:50", 1, "Fatal", "server", "Server not reachable", 0, 10},
    {"t7", "calibration", 104, "09:00", 2, "Running", "aborted", "", 0, 10},
    {"t8", "calibration", 104, "09:10", -1, "", "", "", 4.95, 10},
    {"f1", "final", 101, "10:00", -1, "", "", "", 5.00, 30},
    {"f2", "final", 102, "10:10", 2, "Error", "device", "Vs high", 5.60, 30},
    {"f3", "final", 102, "10:20", -1, "", "", "", 5.05, 30},
};

line::RunSpec MakeRun(const Row& r) {
  line::RunSpec run;
  run.id = std::string("figures-") + r.id;
  run.station = r.station;
  int64_t ms = 0;
  line::ParseUtcMs(std::string("2026-03-02T") + r.start + ":00.000Z", &ms);
  run.startMs = ms;
  run.endMs = ms + 60000;
  if (r.serial != 0) run.serialNumber = r.serial;
  bool calibration = std::string(r.station) == "calibration";
  const char* names[] = {"Open Quenlox", "Connect to QXTest Server", "Vs and Current", "DAC Test",
                         "Report Test Results"};
  bool stopped = false;
  for (int i = 0; i < 5; ++i) {
    line::TestSpec t;
    t.name = names[i];
    if (stopped) {
      t.status = "-";
      run.tests.push_back(t);
      continue;
    }
    t.durationMs = 100;
    if (i == r.failing) {
      t.status = r.status;
      t.cause = std::string(r.cause);
      t.details = r.details;
      stopped = t.status != "Error";
    }
    bool measured = i != r.failing || t.status == "Error";
    if (i == 0) t.measurements.push_back({"Open time", r.openMs, "ms", {}, 100.0, {}});
    if (i == 2 && measured) {
      t.measurements.push_back(
          {"Vs", r.vs, "V", calibration ? 4.7 : 4.75, calibration ? 5.5 : 5.45, {}});
    }
    if (i == 3 && measured) {
      t.measurements.push_back({"DAC1 2.5V", i == r.failing ? 2.40 : 2.50, "V", 2.45, 2.55, {}});
    }
    run.tests.push_back(t);
  }
  if (r.failing < 0) return run;
  run.cause = std::string(r.cause);
  run.result = run.cause == std::string("aborted") ? "aborted" : "failed";
  return run;
}

ProgramRun Qxline(std::vector<std::string> args, const std::string& db) {
  args.insert(args.begin(), {"qxline"});
  args.insert(args.begin() + 2, "--db=" + db);
  return RunProgram(args);
}

Json JsonOf(const ProgramRun& run) {
  EXPECT_EQ(0, run.status) << run.err;
  return Json::parse(run.out, nullptr, false);
}

TEST(LineFigures, HandWorkedLineOnBothDatabases) {
  TempDir dir;
  PostgresCluster pg;
  if (pg.url().empty()) std::printf("PostgreSQL part skipped: %s\n", pg.skip().c_str());
  std::vector<line::RunSpec> runs;
  for (const Row& r : kLine) runs.push_back(MakeRun(r));
  std::string records = dir.File("records");
  ASSERT_EQ(0, std::system(("mkdir -p " + records).c_str()));
  WriteRecords(records, runs);
  {
    std::FILE* bad = std::fopen((records + "/bad.json").c_str(), "w");
    std::fputs("{\"id\": \"x\"}", bad);
    std::fclose(bad);
  }

  std::map<std::string, std::vector<std::string>> answers;  // command: output per database
  for (const std::string& db : Databases(dir, pg)) {
    SCOPED_TRACE(db);
    ProgramRun first = RunProgram({"qxline", "ingest", "--db", db, records});
    EXPECT_EQ(1, first.status);
    EXPECT_EQ("stored 11, already there 0, refused 1\n", first.out);
    EXPECT_NE(std::string::npos,
              first.err.find("bad.json: refused: schema: missing (a record of version 1"))
        << first.err;
    ProgramRun again = RunProgram({"qxline", "ingest", "--db", db, records});
    EXPECT_EQ("stored 0, already there 11, refused 1\n", again.out);

    // calibration: units 101..104; first runs pass for 101 only; last runs
    // fail for 103 only; 7 identified runs; t6 has no serial number.
    Json y = JsonOf(Qxline({"yield", "--json"}, db));
    ASSERT_EQ(2u, y["stations"].size());
    Json cal = y["stations"][0], fin = y["stations"][1];
    EXPECT_EQ("calibration", cal["station"]);
    EXPECT_EQ(4, cal["units"]);
    EXPECT_EQ(7, cal["runs"]);
    EXPECT_DOUBLE_EQ(0.25, cal["first_pass_yield"].get<double>());
    EXPECT_DOUBLE_EQ(0.75, cal["final_yield"].get<double>());
    EXPECT_DOUBLE_EQ(0.75, cal["retest_rate"].get<double>());  // (7 - 4) / 4
    EXPECT_EQ(Json({{"aborted", 1}, {"device", 2}, {"link", 1}}), cal["causes"]);
    EXPECT_EQ("final", fin["station"]);
    EXPECT_EQ(2, fin["units"]);
    EXPECT_EQ(3, fin["runs"]);
    EXPECT_DOUBLE_EQ(0.5, fin["first_pass_yield"].get<double>());
    EXPECT_DOUBLE_EQ(1.0, fin["final_yield"].get<double>());
    EXPECT_DOUBLE_EQ(0.5, fin["retest_rate"].get<double>());
    EXPECT_EQ(Json({{"device", 1}}), fin["causes"]);
    EXPECT_DOUBLE_EQ(0.125, y["rolled_first_pass_yield"].get<double>());  // 0.25 * 0.5
    EXPECT_EQ(1, y["unidentified"]);

    // 08:25 to 09:05: t4 (102 passes), t5 (103 fails), t6 (no serial), t7 (104 aborted).
    Json w = JsonOf(Qxline(
        {"yield", "--json", "--since", "2026-03-02T08:25", "--until=2026-03-02T09:05Z"}, db));
    ASSERT_EQ(1u, w["stations"].size());
    EXPECT_EQ(3, w["stations"][0]["units"]);
    EXPECT_EQ(3, w["stations"][0]["runs"]);
    EXPECT_DOUBLE_EQ(1.0 / 3, w["stations"][0]["first_pass_yield"].get<double>());
    EXPECT_EQ(Json({{"aborted", 1}, {"device", 1}}), w["stations"][0]["causes"]);
    EXPECT_EQ(1, w["unidentified"]);

    // Six runs did not pass; their first tests not Passed: Vs and Current
    // (t3, t7, f2), DAC Test (t2, t5), Connect to QXTest Server (t6).
    Json p = JsonOf(Qxline({"pareto", "--json"}, db));
    Json expected = Json::parse(R"json([
      {"test": "Vs and Current", "count": 3, "share": 0.5, "cumulative": 0.5,
       "details": [{"text": "", "count": 1}, {"text": "Comm Error: (-5)", "count": 1
  },
                   {"text": "Vs high", "count": 1}]
},
      {"test": "DAC Test", "count": 2, "share": 0.3333333333333333, "cumulative": 0.8333333333333334,
       "details": [{"text": "DAC1 low", "count": 2}]},
      {"test": "Connect to QXTest Server", "count": 1, "share": 0.16666666666666666,
       "cumulative": 1.0, "details": [{"text": "Server not reachable", "count": 1}]}])json");
    EXPECT_EQ(expected, p);
    Json pf = JsonOf(Qxline({"pareto", "--json", "--station", "final"}, db));
    ASSERT_EQ(1u, pf.size());
    EXPECT_EQ("Vs and Current", pf[0]["test"]);
    EXPECT_DOUBLE_EQ(1.0, pf[0]["share"].get<double>());

    // Vs at calibration (5.00 5.10 5.05 5.20 4.95): mean 5.06, sigma
    // sqrt(0.037 / 4), cpk (5.06 - 4.7) / (3 sigma). At final (5.00 5.60
    // 5.05, limits 4.75 .. 5.45): mean 5.21667, sigma sqrt(0.221667 / 2),
    // cpk (5.45 - mean) / (3 sigma), one value outside. Open time: eight 10s,
    // then three 30s: mean 15.4545, one-sided cpk (100 - mean) / (3 sigma),
    // the eighth value the eighth below the mean.
    Json s = JsonOf(Qxline({"stats", "--json", "Vs", "Open time"}, db));
    ASSERT_EQ(3u, s.size());
    struct Want {
      const char* name;
      int n;
      double mean, sigma, min, max, cpk, ciLow, ciHigh;
      int outside;
      Json low, high, alarms;
    };
    const Want want[] = {
        {"Vs", 3, 5.216666666666667, 0.3329164059239695, 5.0, 5.6, 0.2336255480168219,
         -0.20762378587374597, 0.6748748819073898, 1, 4.75, 5.45, Json::array()},
        {"Vs", 5, 5.06, 0.0961769203083567, 4.95, 5.2, 1.2477005877840854, 0.3350541702249733,
         2.1603470053431977, 0, 4.7, 5.5, Json::array()},
        {"Open time", 11, 15.454545454545455, 9.341987329938275, 10, 30, 3.016683408625902,
         1.6799692290123998, 4.353397588239404, 0, nullptr, 100.0,
         Json::parse(R"([{"rule": 4, "index": 7}])")},
    };
    for (size_t i = 0; i < 3; ++i) {
      const Json& got = s[i];
      const Want& e = want[i];
      SCOPED_TRACE(got.dump());
      EXPECT_EQ(e.name, got["name"]);
      EXPECT_EQ(e.n, got["n"]);
      EXPECT_NEAR(e.mean, got["mean"].get<double>(), 1e-12);
      EXPECT_NEAR(e.sigma, got["sigma"].get<double>(), 1e-12);
      EXPECT_DOUBLE_EQ(e.min, got["min"].get<double>());
      EXPECT_DOUBLE_EQ(e.max, got["max"].get<double>());
      EXPECT_EQ(e.low, got["low"]);
      EXPECT_EQ(e.high, got["high"]);
      EXPECT_NEAR(e.cpk, got["cpk"].get<double>(), 1e-9);
      EXPECT_NEAR(e.ciLow, got["cpk_ci95"][0].get<double>(), 1e-9);
      EXPECT_NEAR(e.ciHigh, got["cpk_ci95"][1].get<double>(), 1e-9);
      EXPECT_EQ(e.outside, got["outside"]);
      EXPECT_EQ(e.alarms, got["alarms"]);
    }
    // Every measurement with a limit, lowest Cpk first: DAC1 2.5V (six 2.50,
    // two 2.40: cpk 0.025 / (3 * 0.046291) = 0.18) leads.
    Json all = JsonOf(Qxline({"stats", "--json"}, db));
    std::vector<std::string> order;
    for (const Json& e : all) order.push_back(e["name"]);
    EXPECT_EQ((std::vector<std::string>{"DAC1 2.5V", "Vs", "Vs", "Open time"}), order);
    EXPECT_NEAR(0.18, all[0]["cpk"].get<double>(), 5e-5);

    for (const char* command : {"yield", "pareto", "stats"}) {
      answers[command].push_back(Qxline({command, "--json"}, db).out);
    }
  }
  // The same records give the same figures, to the last digit, on both.
  for (const auto& a : answers) {
    for (size_t i = 1; i < a.second.size(); ++i) EXPECT_EQ(a.second[0], a.second[i]) << a.first;
  }
}

}  // namespace
