// The HTML report opened in a real browser (Debian's headless Chromium): its
// SVG charts are in the page, the outlying device is named, the browser logs
// no console message, and a screenshot is taken. A page with a broken chart
// shows that the log is read.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/file.h"
#include "tests/line/line_support.h"

namespace {

const char kChromium[] = "/usr/bin/chromium";

// Chromium as the machines of the line run it: headless, nothing fetched,
// a fresh profile, its log on standard error.
ProgramRun Chromium(const TempDir& dir, const std::string& what, const std::string& page) {
  std::string profile = dir.File("profile-" + std::to_string(std::rand()));
  return RunProgram(
      {kChromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
       "--disable-background-networking", "--disable-component-update", "--disable-sync",
       "--user-data-dir=" + profile, "--enable-logging=stderr", "--v=0", "--window-size=1200,4000",
       what, "file://" + page},
      {}, 120000);
}

std::string ConsoleLines(const std::string& log) {
  std::string out;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) {
    if (line.find(":CONSOLE") != std::string::npos) out += line + "\n";
  }
  return out;
}

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(LineReport, ChartsShowInABrowserWithoutErrors) {
  if (!platform::FileExists(kChromium))
    GTEST_SKIP() << "Chromium is not installed (Debian package chromium)";
  TempDir dir;
  std::string records = dir.File("records"), db = dir.File("line.sqlite");
  std::string page = dir.File("report.html"), shot = dir.File("report.png");
  // 30 devices: the sixteenth (470016) has constants far from the others.
  ASSERT_EQ(0, RunProgram({"qxrecords", "--out", records, "--devices", "30"}).status);
  ASSERT_EQ(0, RunProgram({"qxline", "ingest", "--db", db, records}).status);
  ProgramRun report = RunProgram({"qxline", "report", "--db", db, "--html", page});
  ASSERT_EQ(0, report.status) << report.err;
  EXPECT_EQ("report written to " + page + "\n", report.out);

  ProgramRun dom = Chromium(dir, "--dump-dom", page);
  ASSERT_EQ(0, dom.status) << dom.err;
  EXPECT_EQ("", ConsoleLines(dom.err));
  EXPECT_NE(std::string::npos, dom.out.find("<h1>Line report</h1>"));
  // The day chart, the Pareto, a histogram and a control chart per charted
  // measurement, a spread per value of the calibration (41 constants and 8
  // accuracy errors).
  size_t charted = Count(dom.out, "aria-label=\"control chart of ");
  EXPECT_GE(charted, 1u);
  EXPECT_EQ(charted, Count(dom.out, "aria-label=\"histogram of "));
  EXPECT_EQ(49u, Count(dom.out, "aria-label=\"spread of "));
  EXPECT_EQ(1u, Count(dom.out, "aria-label=\"failure Pareto\""));
  EXPECT_EQ(1u, Count(dom.out, "aria-label=\"first-pass yield per day\""));
  EXPECT_EQ(2 * charted + 49 + 2, Count(dom.out, "<svg"));
  EXPECT_NE(std::string::npos, dom.out.find("far from the others: <span class=\"bad\">470016 ("));
  // Nothing to fetch: no sources, links or scripts.
  for (const char* fetch : {" src=", "<link", "<script", "url("}) {
    EXPECT_EQ(std::string::npos, dom.out.find(fetch)) << fetch;
  }

  ProgramRun picture = Chromium(dir, "--screenshot=" + shot, page);
  ASSERT_EQ(0, picture.status) << picture.err;
  EXPECT_EQ("", ConsoleLines(picture.err));
  std::ifstream png(shot, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(png)), std::istreambuf_iterator<char>());
  EXPECT_EQ(0u, bytes.find("\x89PNG\r\n"));
  EXPECT_GT(bytes.size(), 50000u) << "a page of charts, not a blank one";

  // The same reading of the log finds a broken chart.
  std::string broken = dir.File("broken.html");
  std::ofstream(broken) << "<!DOCTYPE html><html><body><svg width=\"10\" height=\"10\">"
                           "<rect width=\"-5\" height=\"4\"/></svg></body></html>";
  ProgramRun control = Chromium(dir, "--dump-dom", broken);
  EXPECT_NE(std::string::npos, ConsoleLines(control.err).find("attribute width")) << control.err;
}

}  // namespace
