// The command-line conventions: the helper's parsing on its own, then every
// built program checked for the same behaviour from outside.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "base/cli.h"
#include "base/text.h"
#include "base/version.h"
#include "tests/support/child_process.h"
#include "tests/support/command_line.h"

namespace {

// Parses args with the options of a small program: a flag --quiet, an option
// --mask and positionals; returns what it saw, or "exit N" on a usage error.
std::string Parse(std::vector<std::string> words) {
  words.insert(words.begin(), "prog");
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(&w[0]);
  cli::Arguments args("prog", static_cast<int>(argv.size()), argv.data());
  std::string seen;
  while (args.Next()) {
    const char* value = nullptr;
    if (args.Flag("--quiet")) {
      seen += "quiet;";
    } else if (args.Option("--mask", &value)) {
      seen += std::string("mask=") + value + ";";
    } else if (args.Positional(&value)) {
      seen += std::string("word=") + value + ";";
    } else {
      return "exit " + std::to_string(args.Unknown());
    }
  }
  return args.failed() ? "exit 2" : seen;
}

TEST(CommandLine, BothOptionFormsFlagsAndPositionals) {
  struct Case {
    std::vector<std::string> args;
    std::string seen;
  } cases[] = {
      {{"--mask", "0x400", "--quiet"}, "mask=0x400;quiet;"},
      {{"--mask=0x400"}, "mask=0x400;"},
      {{"--mask="}, "mask=;"},
      {{"--mask", "--quiet"}, "mask=--quiet;"},  // the next word is the value, whatever it is
      {{"read", "-1.5", "a=b"}, "word=read;word=-1.5;word=a=b;"},
      {{"--mask"}, "exit 2"},
      {{"--quiet=1"}, "exit 2"},
      {{"--mas", "1"}, "exit 2"},
      {{"-x"}, "exit 2"},
      {{"--mask=1", "--bogus", "--quiet"}, "exit 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(c.seen, Parse(c.args));
  }
}

// A bad value is reported under its option's name in either form, never
// under the value's own text.
TEST(CommandLine, TheCurrentArgumentIsTheOptionNotItsValue) {
  for (std::vector<std::string> words : {std::vector<std::string>{"prog", "--mask", "x"},
                                         std::vector<std::string>{"prog", "--mask=x"}}) {
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    cli::Arguments args("prog", static_cast<int>(argv.size()), argv.data());
    const char* value = nullptr;
    ASSERT_TRUE(args.Next());
    ASSERT_TRUE(args.Option("--mask", &value));
    EXPECT_STREQ("x", value);
    EXPECT_STREQ("--mask", args.current());
    EXPECT_FALSE(args.Next());
  }
}

// A table declares each option once: it parses both forms and refuses in
// the option's words, and its help keeps one column, a long label on a
// line of its own.
TEST(CommandLine, AnOptionTableParsesAndWritesItsHelp) {
  bool quiet = false;
  uint32_t mask = 0;
  std::string field = "none";
  std::string word;
  cli::OptionTable table(16);
  table.Flag("-q, --quiet", "say nothing", cli::Set(&quiet, true))
      .Option("--mask MASK", "a mask,\ntwo lines", cli::Whole(&mask, 0xFF, cli::IsNot("a byte")))
      .Attached("--corrupt[=FIELD]", "a field", cli::Text(&field))
      .Positionals(cli::Text(&word));
  EXPECT_EQ("", ParseWords(table, {"-q", "--mask=0x10", "--corrupt", "w"}));
  EXPECT_TRUE(quiet);
  EXPECT_EQ(16u, mask);
  EXPECT_EQ("", field) << "no value after '=': the next word is never taken";
  EXPECT_EQ("w", word);
  EXPECT_EQ("", ParseWords(table, {"--corrupt=length"}));
  EXPECT_EQ("length", field);
  EXPECT_EQ("--mask: '256' is not a byte", ParseWords(table, {"--mask", "256"}));
  EXPECT_EQ("--quiet takes no value", ParseWords(table, {"--quiet=1"}));
  EXPECT_EQ("unknown option --bogus", ParseWords(table, {"--bogus=1"}));
  EXPECT_EQ(
      "  -q, --quiet   say nothing\n"
      "  --mask MASK   a mask,\n"
      "                two lines\n"
      "  --corrupt[=FIELD]\n"
      "                a field\n"
      "  --help, --version\n"
      "                this text, the version\n",
      table.Help());
}

TEST(CommandLine, NumbersAreWholeOrRealWithoutSignsOrCommas) {
  uint64_t n = 0;
  EXPECT_TRUE(cli::ParseUnsigned("0x40000", 0xFFFFFFFF, &n));
  EXPECT_EQ(0x40000u, n);
  EXPECT_TRUE(cli::ParseUnsigned("02000400", 0xFFFFFFFF, &n));
  EXPECT_EQ(2000400u, n) << "a leading zero is decimal, not octal";
  for (const char* bad : {"", "-1", "+1", " 1", "1x", "0x100000000", "99999999999999999999"}) {
    EXPECT_FALSE(cli::ParseUnsigned(bad, 0xFFFFFFFF, &n)) << bad;
  }
  double d = 0;
  EXPECT_TRUE(cli::ParseReal("-1.25", &d));
  EXPECT_EQ(-1.25, d);
  for (const char* bad : {"", "1,5", "1.5V", "nan", "inf", " 1"}) {
    EXPECT_FALSE(cli::ParseReal(bad, &d)) << bad;
  }
}

TEST(CommandLine, TheVersionIsTheReportsVersion) {
  char report[kPieceCapacity];
  TextFormat(report, sizeof report, "%0.02f", kStationVersion);
  EXPECT_STREQ(report, StationVersionText());
}

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs the program twice through the shell: once for its standard output,
// once for its standard error.
Outcome RunProgram(const std::string& program, const std::string& args) {
  Outcome o;
  ChildProcess out({"/bin/sh", "-c", program + " " + args + " 2>/dev/null </dev/null"}, {}, true);
  o.out = out.ReadAll(10000);
  o.status = out.Wait(10000);
  ChildProcess err({"/bin/sh", "-c", program + " " + args + " 2>&1 >/dev/null </dev/null"}, {},
                   true);
  o.err = err.ReadAll(10000);
  EXPECT_EQ(o.status, err.Wait(10000));
  return o;
}

// In each block of a help text, the descriptions (the text after the last
// gap of two or more blanks) start in one column; no line is wider than 80.
void ExpectHelpAligned(const std::string& help) {
  std::istringstream in(help);
  std::string line;
  size_t column = 0;  // the block's, once known
  while (std::getline(in, line)) {
    EXPECT_LE(line.size(), 80u) << line;
    if (line.empty()) column = 0;
    if (line.compare(0, 2, "  ") != 0) continue;
    size_t at = line.rfind("  ") + 2;
    if (at == 2) continue;  // an option name alone on its line
    if (column == 0) column = at;
    EXPECT_EQ(column, at) << line;
  }
}

TEST(CommandLine, EveryProgramKeepsTheConventions) {
  std::string bin = BuiltProgramDir();
  if (bin.empty()) GTEST_SKIP() << "QX_BIN_DIR is not set";
  for (const char* name : {"qxtest", "qxfwpack", "qxmeter", "qxreg", "qxts"}) {
    SCOPED_TRACE(name);
    std::string program = bin + "/" + name;
    Outcome help = RunProgram(program, "--help");
    EXPECT_EQ(0, help.status);
    EXPECT_NE(std::string::npos, help.out.find("usage: ")) << help.out;
    EXPECT_EQ("", help.err);
    ExpectHelpAligned(help.out);

    Outcome version = RunProgram(program, "--version");
    EXPECT_EQ(0, version.status);
    EXPECT_EQ(std::string(name) + " (QXTest) " + StationVersionText() + "\n", version.out);

    Outcome bad = RunProgram(program, "--no-such-option=1");
    EXPECT_EQ(2, bad.status);
    EXPECT_EQ("", bad.out);
    EXPECT_EQ(std::string(name) + ": unknown option --no-such-option (see " + name + " --help)\n",
              bad.err);
  }
  for (const char* name : {"qxsim", "qxstation"}) {
    SCOPED_TRACE(name);
    ExpectHelpAligned(RunProgram(bin + "/" + name, "--help").out);
  }
}

}  // namespace
