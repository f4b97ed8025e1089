// The bench meter's side of the line: its pseudo-terminal's link, its
// command-line options and its readings. The station's meter against it is
// tested with the station's instruments.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>

#include "sim/meter.h"
#include "tests/support/command_line.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

TEST(BenchMeterTest, LinksItsTerminalAndRemovesTheLinkOnStop) {
  TempDir dir;
  std::string link = dir.File("meter");
  fs::create_symlink("/nonexistent/old", link);  // a stale link is replaced
  qxsim::MeterOptions options;
  options.linkPath = link;
  qxsim::BenchMeter bench(options, [] { return 0.0; });
  std::string error;
  ASSERT_TRUE(bench.Start(&error)) << error;
  EXPECT_EQ(fs::read_symlink(link).string(), bench.devicePath());
  EXPECT_EQ(bench.path(), link);
  bench.Stop();
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(link))) << "the link outlived the meter";
}

TEST(BenchMeterTest, RefusesToReplaceAFileThatIsNotALink) {
  TempDir dir;
  std::string file = dir.File("meter");
  FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  qxsim::MeterOptions options;
  options.linkPath = file;
  qxsim::BenchMeter bench(options, [] { return 0.0; });
  std::string error;
  EXPECT_FALSE(bench.Start(&error));
  EXPECT_NE(error.find("not a symbolic link"), std::string::npos) << error;
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
}

TEST(BenchMeterOptions, ParsesItsCommandLineOptions) {
  qxsim::MeterOptions o;
  cli::OptionTable table(28);
  qxsim::AddMeterOptions(&table, &o);
  EXPECT_EQ("", ParseWords(table, {"--meter-link", "/tmp/m", "--meter-fault", "garbage",
                                   "--meter-ms-per-reading", "7"}));
  EXPECT_EQ(o.linkPath, "/tmp/m");
  EXPECT_EQ(o.fault, qxsim::MeterFault::kGarbage);
  EXPECT_EQ(o.msPerReading, 7u);
  EXPECT_EQ("", ParseWords(table, {"--meter-fast"}));
  EXPECT_EQ(o.charsPerSecond, 0u);
  EXPECT_NE("", ParseWords(table, {"--other"}));

  const char* bad[][2] = {
      {"--meter-fault", "loud"}, {"--meter-ms-per-reading", "x"}, {"--meter-link", ""}};
  for (auto& b : bad) EXPECT_NE("", ParseWords(table, {b[0], b[1]})) << b[0];
  EXPECT_NE("", ParseWords(table, {"--meter-link"}));
}

// A reading is the input in the meter's format, or an overload for anything
// beyond the range and for what is no number at all.
TEST(BenchMeterTest, ReadingsAndOverloads) {
  const struct {
    double volts;
    const char* answer;
  } cases[] = {
      {5.0, "+5.00000000E+00\n"}, {-0.25, "-2.50000000E-01\n"},     {20.0, "+9.90000000E+37\n"},
      {NAN, "+9.90000000E+37\n"}, {-INFINITY, "+9.90000000E+37\n"},
  };
  for (const auto& c : cases) {
    qxsim::MeterOptions options;
    options.noiseFraction = 0;
    double volts = c.volts;
    qxsim::BenchMeter meter(options, [volts] { return volts; });
    meter.HandleLine("READ?", 0);
    EXPECT_EQ(c.answer, meter.queued()) << c.volts;
  }
}

}  // namespace
