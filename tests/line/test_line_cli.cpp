// qxline's command line keeps the suite's conventions: --help to standard
// output with exit 0, --version, "--opt value" beside "--opt=value", a bad
// argument named in one line on standard error with exit 2.
#include <gtest/gtest.h>

#include "tests/line/line_support.h"

namespace {

TEST(LineCli, Conventions) {
  TempDir dir;
  std::string db = dir.File("line.sqlite");
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out;  // the start of standard output
    const char* err;  // the start of standard error's one line, "" for none
  };
  const Case cases[] = {
      {{"--help"}, 0, "usage: qxline COMMAND", ""},
      {{"yield", "--help"}, 0, "usage: qxline yield [options]\n\nper station: units, runs", ""},
      {{"--version"}, 0, "qxline (QXTest) ", ""},
      {{"watch"}, 2, "", "qxline watch: give one folder to watch"},
      {{"--bogus"}, 2, "", "qxline: unknown option --bogus"},
      {{"yield", "--db", db}, 0, "station ", ""},
      {{"yield", "--db=" + db, "--json"}, 0, "{\n  \"stations\": []", ""},
      {{"stats", "--db", db, "--json", "Vs"}, 0, "[]", "qxline: no measurement named 'Vs'"},
      {{"bogus"}, 2, "", "qxline: unknown command 'bogus' (see qxline --help)"},
      {{}, 2, "", "qxline: a command is required"},
      {{"yield", "--db", db, "--since", "yesterday"},
       2,
       "",
       "qxline yield: --since: 'yesterday' is not a UTC time (see qxline yield --help)"},
      {{"yield", "--until=2026-13-01"},
       2,
       "",
       "qxline yield: --until: '2026-13-01' is not a UTC time"},
      {{"yield", "--frobnicate"},
       2,
       "",
       "qxline yield: unknown option --frobnicate (see qxline yield --help)"},
      {{"yield", "--db"}, 2, "", "qxline yield: --db needs a value"},
      {{"ingest", "--db", db}, 2, "", "qxline ingest: give the records' files or folders"},
      {{"report", "--db", db}, 2, "", "qxline report: --html is required"},
      {{"ingest", "--db", dir.File("no/such/folder/x.sqlite"), dir.path()}, 1, "", "qxline: "},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "qxline");
    ProgramRun run = RunProgram(args);
    std::string label = args.size() > 1 ? args[1] : "(none)";
    EXPECT_EQ(c.status, run.status) << label << ": " << run.err;
    EXPECT_EQ(0u, run.out.find(c.out)) << label << ": " << run.out;
    if (*c.err == '\0') {
      EXPECT_EQ("", run.err) << label;
    } else {
      EXPECT_EQ(0u, run.err.find(c.err)) << label << ": " << run.err;
      EXPECT_EQ(1, std::count(run.err.begin(), run.err.end(), '\n')) << label << ": " << run.err;
    }
  }
}

}  // namespace
