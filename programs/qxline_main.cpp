// qxline: the line's records in a database, and what they say: yield,
// failure Pareto, Cpk and drift, and an HTML report. It reads the folders the
// stations write their records into; the stations never wait on it.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "line/analysis.h"
#include "line/database.h"
#include "line/ingest.h"
#include "line/output.h"
#include "line/process.h"
#include "line/record.h"
#include "line/report.h"
#include "line/watch.h"
#include "tools/cli.h"

namespace {

constexpr const char* kDefaultDb = "qxline.sqlite";

// "2026-03-02", "2026-03-02T08:15", "2026-03-02T08:15:30", with or without
// ".mmm" and "Z": all UTC.
bool ParseTimeArgument(const std::string& text, int64_t* ms) {
  std::string full = text;
  if (!full.empty() && full.back() == 'Z') full.pop_back();
  static const char* const kTails[] = {"T00:00:00.000", ":00:00.000", ":00.000", ".000", ""};
  // Lengths of "YYYY-MM-DD", "...THH", "...THH:MM", "...THH:MM:SS", "...SS.mmm".
  static const size_t kLengths[] = {10, 13, 16, 19, 23};
  for (size_t i = 0; i < 5; ++i) {
    if (full.size() == kLengths[i]) return line::ParseUtcMs(full + kTails[i] + "Z", ms);
  }
  return false;
}

struct Options {
  std::string db = kDefaultDb;
  std::string station;
  std::string since;
  std::string until;
  bool json = false;
  std::vector<std::string> paths;
  std::string html;
  std::string constants = "Calibrate";
};

void AddDb(CLI::App* app, Options* o) {
  app->add_option("--db", o->db,
                  "the database: an SQLite file (default " + std::string(kDefaultDb) +
                      ") or postgresql://user@host:port/dbname");
}

void AddWindow(CLI::App* app, Options* o, bool until) {
  app->add_option("--station", o->station, "only this station's runs");
  app->add_option("--since", o->since,
                  "runs that started at or after T (UTC: 2026-03-02[T08:15[:30]])");
  if (until) app->add_option("--until", o->until, "runs that started before T");
}

// "qxline: message (see qxline --help)"; exit status 2.
int Usage(const std::string& message) {
  std::fprintf(stderr, "qxline: %s (see qxline --help)\n", message.c_str());
  return cli::kExitUsage;
}

int WindowOf(const Options& o, line::Window* w) {
  w->station = o.station;
  int64_t ms = 0;
  if (!o.since.empty()) {
    if (!ParseTimeArgument(o.since, &ms))
      return Usage("--since: '" + o.since + "' is not a UTC time");
    w->sinceMs = ms;
  }
  if (!o.until.empty()) {
    if (!ParseTimeArgument(o.until, &ms))
      return Usage("--until: '" + o.until + "' is not a UTC time");
    w->untilMs = ms;
  }
  return cli::kExitOk;
}

std::unique_ptr<line::Database> Open(const std::string& url) {
  line::DbStatus status = line::DbStatus::kOk;
  std::string error;
  auto db = line::OpenDatabase(url, &status, &error);
  if (!db) std::fprintf(stderr, "qxline: %s: %s\n", url.c_str(), error.c_str());
  return db;
}

int Failed(const std::string& error) {
  std::fprintf(stderr, "qxline: %s\n", error.c_str());
  return cli::kExitFailed;
}

int Query(const std::string& command, const Options& o) {
  line::Window w;
  if (int usage = WindowOf(o, &w)) return usage;
  auto db = Open(o.db);
  if (!db) return cli::kExitFailed;
  std::string error;
  std::string text;
  if (command == "yield") {
    line::YieldFigures y;
    if (line::QueryYield(*db, w, &y, &error) != line::DbStatus::kOk) return Failed(error);
    text = o.json ? line::YieldJson(y) : line::YieldTable(y);
  } else if (command == "pareto") {
    std::vector<line::ParetoRow> rows;
    if (line::QueryPareto(*db, w, &rows, &error) != line::DbStatus::kOk) return Failed(error);
    text = o.json ? line::ParetoJson(rows) : line::ParetoTable(rows);
  } else {
    std::vector<line::SeriesFigures> series;
    if (line::QueryStats(*db, w, o.paths, false, &series, &error) != line::DbStatus::kOk) {
      return Failed(error);
    }
    for (const std::string& name : o.paths) {
      bool found = false;
      for (const auto& s : series) found = found || s.name == name;
      if (!found) std::fprintf(stderr, "qxline: no measurement named '%s'\n", name.c_str());
    }
    text = o.json ? line::StatsJson(series) : line::StatsTable(series);
  }
  std::fputs(text.c_str(), stdout);
  return cli::kExitOk;
}

int Report(const Options& o) {
  line::Window w;
  if (int usage = WindowOf(o, &w)) return usage;
  auto db = Open(o.db);
  if (!db) return cli::kExitFailed;
  std::string error;
  line::ReportSettings settings;
  settings.constantsTest = o.constants;
  // The page is read by many: a PostgreSQL URL is named without its user
  // and password.
  settings.database = o.db;
  size_t scheme = o.db.find("://"), at = o.db.find('@');
  if (line::IsPostgresUrl(o.db) && at != std::string::npos && scheme < at) {
    settings.database = o.db.substr(0, scheme + 3) + o.db.substr(at + 1);
  }
  if (line::WriteReport(*db, w, settings, o.html, &error) != line::DbStatus::kOk) {
    return Failed(error);
  }
  std::printf("report written to %s\n", o.html.c_str());
  return cli::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "qxline: every station's records in one database, and the line's yield, failures and\n"
      "drift from them. --db FILE is an SQLite file (default qxline.sqlite), --db\n"
      "postgresql://... a PostgreSQL server. Times are UTC. Exit 0 success, 1 failed, 2 usage.",
      "qxline"};
  app.set_version_flag("--version", std::string("qxline (QXTest) ") + cli::kVersion);
  app.require_subcommand(1, 1);
  Options o;

  CLI::App* ingest = app.add_subcommand(
      "ingest",
      "load records (files, or folders at any depth) into the database; prints\n"
      "'stored N, already there M, refused K', exit 1 when anything was refused");
  AddDb(ingest, &o);
  ingest->add_option("PATH", o.paths, "record files or folders")->required();

  CLI::App* watch =
      app.add_subcommand("watch",
                         "follow a folder and store each record within a second of its appearing;\n"
                         "waits out a database that cannot be reached; Ctrl-C ends it");
  AddDb(watch, &o);
  watch->add_option("DIR", o.paths, "the folder the stations write into")->required()->expected(1);

  CLI::App* yield = app.add_subcommand(
      "yield",
      "per station: units, runs, first-pass and final yield, retest rate, causes;\n"
      "the line's rolled first-pass yield");
  CLI::App* pareto = app.add_subcommand(
      "pareto", "the failing tests of the runs that did not pass, most frequent first");
  CLI::App* stats = app.add_subcommand(
      "stats",
      "per measurement (all with limits when none is named): n, mean, sigma, Cpk\n"
      "with its 95 % interval, values outside, Western Electric alarms");
  for (CLI::App* q : {yield, pareto, stats}) {
    AddDb(q, &o);
    AddWindow(q, &o, q == yield);
    q->add_flag("--json", o.json, "print JSON")->disable_flag_override();
  }
  stats->add_option("NAME", o.paths, "measurement names");

  CLI::App* report = app.add_subcommand(
      "report",
      "one self-contained HTML page: yield per station and day, the Pareto, charts\n"
      "of the measurements with Cpk below 1.33 or alarms, the calibration constants");
  AddDb(report, &o);
  AddWindow(report, &o, false);
  report->add_option("--html", o.html, "the page to write")->required();
  report->add_option("--constants", o.constants,
                     "the test whose measurements are the calibration constants (default "
                     "Calibrate)");

  // CLI11 would only say that a command is required.
  if (argc > 1 && argv[1][0] != '-') {
    bool known = false;
    for (const CLI::App* sub : app.get_subcommands({})) known = known || sub->get_name() == argv[1];
    if (!known) return Usage(std::string("unknown command '") + argv[1] + "'");
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return cli::kExitOk;
  } catch (const CLI::CallForAllHelp&) {
    std::cout << app.help("", CLI::AppFormatMode::All);
    return cli::kExitOk;
  } catch (const CLI::CallForVersion& e) {
    std::cout << e.what() << "\n";
    return cli::kExitOk;
  } catch (const CLI::ParseError& e) {
    return Usage(e.what());
  }

  if (ingest->parsed()) return line::RunIngest(o.db, o.paths, stdout, stderr);
  if (watch->parsed()) {
    line::BlockStopRequests();
    return line::RunWatch(o.db, o.paths[0], stdout, stderr);
  }
  if (report->parsed()) return Report(o);
  for (CLI::App* q : {yield, pareto, stats}) {
    if (q->parsed()) return Query(q->get_name(), o);
  }
  return cli::kExitUsage;
}
