// qxstation: the station front end. Builds the test harness for a named
// station or a mask, runs it, shows the report and, when asked, leaves a
// record of the run.
#include <cstdio>
#include <cstring>
#include <string>

#include "harness/harness.h"
#include "harness/run_record.h"
#include "harness/station_table.h"
#include "harness/stations.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/status.h"
#include "platform/stop_request.h"
#include "tools/cli.h"

namespace {

constexpr const char* kUsageHead =
    "usage: qxstation (--station NAME | --mask MASK) [options]\n"
    "\n"
    "Runs the production tests of a station against the device on USB and\n"
    "prints the report. Exit status: 0 passed, 1 failed, 2 refused or bad\n"
    "arguments, 130 or 143 stopped by an interrupt or a terminate request (the\n"
    "page being written is finished first; the records are written).\n"
    "\n"
    "  --station NAME     a named station (below)\n"
    "  --mask MASK        station mask, decimal or 0x hexadecimal\n"
    "  --list             print the tests that would run, in order; run none\n"
    "  --force            run a mask that selects no test or does not open the\n"
    "                     device first\n"
    "  --record DIR       after the run, write its record (JSON) into DIR\n"
    "  --junit FILE       after the run, write it as JUnit XML to FILE\n"
    "  --add-test NAME    run this test after the selected ones (repeatable);\n"
    "                     tests that no mask selects: ";

constexpr const char* kUsageTail =
    "  --quiet            print no report\n"
    "  --device-type N    device-type code (default 2, the Z5)\n"
    "  --help, --version  this text, the version\n"
    "\n"
    "Options take their value as --opt VALUE or --opt=VALUE.\n"
    "\n"
    "Station mask bits:\n"
    "  0x400     device opening and identity only\n"
    "  0x40000   full production station (supply, clock, versions, settings, name,\n"
    "            temperature, Ethernet, noise, serial number and MAC)\n"
    "  0x800000  station without jig (adds the DIO short test)\n"
    "  0x20000   test jig present (jig info, Vmux, DAC, DIO jig test; drops the\n"
    "            DIO short test)\n"
    "  0x10000   test server present (connection and result upload)\n"
    "  0x80      calibration: with 0x20000 runs Calibrate, with 0x30000 also\n"
    "            reports the constants\n"
    "  0x20      Startup DAQ Settings option\n"
    "  0x40      Serial Number option: take a new number from the server\n"
    "  0x100     Ethernet MAC option: take a new MAC from the server\n"
    "  0x1000    System Time option\n";

std::string Usage() {
  std::string text = kUsageHead;
  size_t column = 49;  // where the head's last line ends
  for (const ExtraTest* row = kExtraTests; row->test != nullptr; ++row) {
    size_t width = std::strlen(row->name) + 2;
    if (row != kExtraTests && column + width > 78) {
      text += ",\n                     ";
      column = 21;
    } else if (row != kExtraTests) {
      text += ", ";
    }
    text += row->name;
    column += width;
  }
  text += "\n";
  text += kUsageTail;
  text += "\nStations:\n";
  for (const NamedStation* s = kNamedStations; s->name != nullptr; ++s) {
    char line[kTextCapacity];
    TextFormat(line, sizeof line, "  %-12s 0x%-6X %s\n", s->name, static_cast<unsigned>(s->mask),
               s->description);
    text += line;
  }
  return text;
}

struct Options {
  const NamedStation* station = nullptr;
  uint32_t mask = 0;
  bool haveMask = false;
  uint32_t deviceType = kZ5DeviceType;
  bool quiet = false;
  bool list = false;
  bool force = false;
  std::string recordDir;  // empty: no record
  std::string junitFile;  // empty: no JUnit file
  const ExtraTest* added[kMaxTests] = {};
  uint32_t addedCount = 0;
};

// Returns -1 to go on, else the exit status.
int ParseArguments(int argc, char** argv, Options* o) {
  cli::Arguments args("qxstation", argc, argv);
  static const std::string usage = Usage();
  while (args.Next()) {
    if (args.HelpOrVersion(usage.c_str())) return cli::kExitOk;
    const char* value = nullptr;
    uint64_t number = 0;
    if (args.Flag("--quiet")) {
      o->quiet = true;
    } else if (args.Flag("--list")) {
      o->list = true;
    } else if (args.Flag("--force")) {
      o->force = true;
    } else if (args.Option("--station", &value)) {
      o->station = FindStation(value);
      if (o->station == nullptr) {
        std::string names;
        for (const NamedStation* s = kNamedStations; s->name != nullptr; ++s) {
          names += std::string(names.empty() ? "" : ", ") + s->name;
        }
        return args.BadValue(("a station (" + names + ")").c_str());
      }
    } else if (args.Option("--mask", &value)) {
      if (!cli::ParseUnsigned(value, 0xFFFFFFFF, &number)) return args.BadValue("a 32-bit number");
      o->mask = static_cast<uint32_t>(number);
      o->haveMask = true;
    } else if (args.Option("--device-type", &value)) {
      if (!cli::ParseUnsigned(value, 0xFFFFFFFF, &number)) return args.BadValue("a number");
      o->deviceType = static_cast<uint32_t>(number);
    } else if (args.Option("--record", &value)) {
      if (*value == '\0') return args.BadValue("a directory");
      o->recordDir = value;
    } else if (args.Option("--junit", &value)) {
      if (*value == '\0') return args.BadValue("a file name");
      o->junitFile = value;
    } else if (args.Option("--add-test", &value)) {
      const ExtraTest* extra = FindExtraTest(kExtraTests, value);
      if (extra == nullptr) return args.BadValue("a test that --help lists");
      if (o->addedCount == kMaxTests) return args.Error("too many --add-test");
      o->added[o->addedCount++] = extra;
    } else {
      return args.Unknown();
    }
  }
  if (args.failed()) return cli::kExitUsage;
  if ((o->station != nullptr) == o->haveMask) return args.Error("give --station or --mask");
  if (o->station != nullptr) o->mask = o->station->mask;
  if (FindDeviceType(kDeviceTypes, o->deviceType) == nullptr) {
    return args.Error("no test list for device type " + std::to_string(o->deviceType));
  }
  return -1;
}

// The list the harness will run: the rows the mask selects, then the added tests.
// *selected of them come from the mask.
uint32_t PlannedTests(const Options& o, TestRecord* list, uint32_t* selected) {
  TestContext context;
  context.deviceType = o.deviceType;
  context.mask = o.mask;
  FindDeviceType(kDeviceTypes, o.deviceType)->getList(&context, list);
  uint32_t count = context.testCount < kMaxTests ? context.testCount : kMaxTests;
  *selected = count;
  for (uint32_t i = 0; i < o.addedCount && count < kMaxTests; ++i) {
    list[count].name = o.added[i]->name;
    list[count].test = o.added[i]->test;
    ++count;
  }
  return count;
}

bool WriteJUnit(const char* path, const RunRecord& record) {
  std::string xml = record.ToJUnit();
  int osError = 0;
  char osText[256];
  int status = platform::WriteFileAtomically(path, xml.data(), xml.size(), &osError);
  if (status == platform::kOk) return true;
  std::fprintf(stderr, "qxstation: could not write %s: %s%s%s\n", path,
               platform::StatusText(status), osError != 0 ? ": " : "",
               osError != 0 ? platform::OsErrorText(osError, osText, sizeof osText) : "");
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  static Options options;
  int status = ParseArguments(argc, argv, &options);
  if (status >= 0) return status;

  static TestRecord planned[kMaxTests];
  uint32_t selected = 0;
  uint32_t count = PlannedTests(options, planned, &selected);
  if (options.list) {
    for (uint32_t i = 0; i < count; ++i) {
      std::printf("%2u  %s%s\n", i + 1, planned[i].name, i >= selected ? "  (added)" : "");
    }
  }
  char reason[kTextCapacity];
  if (!options.force && RefuseTestList(planned, count, options.mask, reason, sizeof reason)) {
    std::fprintf(stderr, "qxstation: refused: %s (--force runs it anyway)\n", reason);
    return cli::kExitUsage;
  }
  if (options.list) return cli::kExitOk;
  // Checked before the device is touched: a run must not end without its record.
  if (!options.recordDir.empty()) {
    int osError = 0;
    char osText[256];
    int made = platform::MakeDirectory(options.recordDir.c_str(), &osError);
    if (made != platform::kOk) {
      std::fprintf(stderr, "qxstation: --record %s: %s%s%s\n", options.recordDir.c_str(),
                   made == platform::kNotRegular ? "not a directory" : platform::StatusText(made),
                   osError != 0 ? ": " : "",
                   osError != 0 ? platform::OsErrorText(osError, osText, sizeof osText) : "");
      return cli::kExitUsage;
    }
  }

  RunRecord record(options.station != nullptr ? options.station->name : "", options.mask);
  TestHarness harness(options.deviceType, options.mask, options.quiet ? 1u : 0u);
  for (uint32_t i = 0; i < options.addedCount; ++i) {
    if (!harness.AppendTest(options.added[i]->name, options.added[i]->test)) {
      std::fprintf(stderr, "qxstation: the test list is full: %s not added\n",
                   options.added[i]->name);
      return cli::kExitUsage;
    }
  }
  harness.SetObserver(&record);
  // From here an interrupt or a terminate request stops the run between
  // device operations, never inside a page update, and the records below
  // are still written.
  platform::CatchStopRequests();
  harness.Run();

  bool written = true;
  if (!options.recordDir.empty()) {
    std::string path;
    int result = WriteRunRecord(options.recordDir, record, &path);
    if (result != platform::kOk) {
      std::fprintf(stderr, "qxstation: could not write %s: %s\n", path.c_str(),
                   platform::StatusText(result));
      written = false;
    }
  }
  if (!options.junitFile.empty())
    written = WriteJUnit(options.junitFile.c_str(), record) && written;
  if (harness.aborted()) return platform::StopExitStatus(platform::StopRequested());
  return harness.passed() && written ? cli::kExitOk : cli::kExitFailed;
}
