// qxline: the line's records in a database, and what they say: yield,
// failure Pareto, Cpk and drift, and an HTML report. It reads the folders the
// stations write their records into; the stations never wait on it.
#include <cstdio>
#include <string>
#include <vector>

#include "base/cli.h"
#include "line/analysis.h"
#include "line/database.h"
#include "line/ingest.h"
#include "line/output.h"
#include "line/process.h"
#include "line/record.h"
#include "line/report.h"
#include "line/watch.h"

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

// The times were checked as the options were read.
int WindowOf(const Options& o, line::Window* w) {
  w->station = o.station;
  int64_t ms = 0;
  if (!o.since.empty() && ParseTimeArgument(o.since, &ms)) w->sinceMs = ms;
  if (!o.until.empty() && ParseTimeArgument(o.until, &ms)) w->untilMs = ms;
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

// A UTC time option's value, checked as it is read.
cli::Handler Time(std::string* target) {
  return [target](cli::Value& v) {
    int64_t ms = 0;
    if (!ParseTimeArgument(v.string(), &ms)) return v.Refuse(cli::IsNot("a UTC time"));
    *target = v.string();
    return true;
  };
}

struct Command {
  const char* name;
  const char* args;     // its words after the options
  const char* summary;  // lines of --help, each ending in '\n'
};

const Command kCommands[] = {
    {"ingest", "PATH...",
     "load records (files, or folders at any depth) into the database; prints\n"
     "'stored N, already there M, refused K', exit 1 when anything was refused\n"},
    {"watch", "DIR",
     "follow a folder and store each record within a second of its appearing;\n"
     "waits out a database that cannot be reached; Ctrl-C ends it\n"},
    {"yield", "",
     "per station: units, runs, first-pass and final yield, retest rate, causes;\n"
     "the line's rolled first-pass yield\n"},
    {"pareto", "", "the failing tests of the runs that did not pass, most frequent first\n"},
    {"stats", "[NAME...]",
     "per measurement (all with limits when none is named): n, mean, sigma, Cpk\n"
     "with its 95 % interval, values outside, Western Electric alarms\n"},
    {"report", "",
     "one self-contained HTML page: yield per station and day, the Pareto, charts\n"
     "of the measurements with Cpk below 1.33 or alarms, the calibration constants\n"},
};

const Command* FindCommand(const std::string& name) {
  for (const Command& c : kCommands) {
    if (name == c.name) return &c;
  }
  return nullptr;
}

std::string MainUsage() {
  std::string text =
      "usage: qxline COMMAND [options]\n"
      "\n"
      "qxline: every station's records in one database, and the line's yield, failures and\n"
      "drift from them. --db FILE is an SQLite file (default qxline.sqlite), --db\n"
      "postgresql://... a PostgreSQL server. Times are UTC. Exit 0 success, 1 failed, 2 usage.\n"
      "\n"
      "Commands (qxline COMMAND --help tells more):\n";
  for (const Command& c : kCommands) {
    std::string summary = c.summary;
    summary.pop_back();  // its last line end is the help line's own
    cli::AppendHelpLine(&text, c.name, summary, 12);
  }
  return text + "\n  -h, --help  this text; --version: the version\n";
}

// The options of one command, in the table that reads and documents them.
void AddOptions(const Command& c, cli::OptionTable* t, Options* o) {
  const std::string name = c.name;
  t->Option("--db URL",
            "the database: an SQLite file (default " + std::string(kDefaultDb) +
                ")\nor postgresql://user@host:port/dbname",
            cli::Text(&o->db, cli::IsNot("a database")));
  const bool query = name == "yield" || name == "pareto" || name == "stats";
  if (query || name == "report") {
    t->Option("--station NAME", "only this station's runs", cli::Text(&o->station));
    t->Option("--since T", "runs that started at or after T (UTC: 2026-03-02[T08:15[:30]])",
              Time(&o->since));
  }
  if (name == "yield") t->Option("--until T", "runs that started before T", Time(&o->until));
  if (query) t->Flag("--json", "print JSON", cli::Set(&o->json, true));
  if (name == "report") {
    t->Option("--html FILE", "the page to write (required)",
              cli::Text(&o->html, cli::IsNot("a file name")));
    t->Option("--constants TEST",
              "the test whose measurements are the calibration constants (default Calibrate)",
              cli::Text(&o->constants, cli::IsNot("a test name")));
  }
  if (*c.args != '\0') {
    t->Positionals([o](cli::Value& v) {
      o->paths.push_back(v.string());
      return true;
    });
  }
}

// What a command's words must hold besides its options; "" when they do.
std::string Missing(const Command& c, const Options& o) {
  const std::string name = c.name;
  if (name == "ingest" && o.paths.empty()) return "give the records' files or folders";
  if (name == "watch" && o.paths.size() != 1) return "give one folder to watch";
  if (name == "report" && o.html.empty()) return "--html is required";
  return "";
}

int RunCommand(const Command& c, const Options& o) {
  const std::string name = c.name;
  if (name == "ingest") return line::RunIngest(o.db, o.paths, stdout, stderr);
  if (name == "watch") {
    line::BlockStopRequests();
    return line::RunWatch(o.db, o.paths[0], stdout, stderr);
  }
  if (name == "report") return Report(o);
  return Query(name, o);
}

}  // namespace

int main(int argc, char** argv) {
  const char* word = cli::CommandWord(argc, argv);
  if (word == nullptr) {
    // No command: --help, --version, or a usage error.
    cli::OptionTable none(12);
    int status = none.Parse("qxline", argc, argv, MainUsage());
    if (status >= 0) return status;
    return cli::UsageError("qxline",
                           "a command is required: ingest, watch, yield, pareto, stats "
                           "or report");
  }
  const Command* command = FindCommand(word);
  if (command == nullptr)
    return cli::UsageError("qxline", std::string("unknown command '") + word + "'");
  const std::string program = std::string("qxline ") + command->name;
  Options o;
  cli::OptionTable table(24);
  AddOptions(*command, &table, &o);
  std::string usage = "usage: " + program + " [options]";
  if (*command->args != '\0') usage += std::string(" ") + command->args;
  usage += "\n\n" + std::string(command->summary) + "\n" + table.Help() +
           "\nOptions take their value as --opt VALUE or --opt=VALUE.\n";
  // The command's own words follow it: it stands where a program's name would.
  int status = table.Parse(program.c_str(), argc - 1, argv + 1, usage);
  if (status >= 0) return status;
  std::string missing = Missing(*command, o);
  if (!missing.empty()) return cli::UsageError(program.c_str(), missing);
  return RunCommand(*command, o);
}
