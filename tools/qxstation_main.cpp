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
#include "harness/text.h"
#include "instruments/meter.h"
#include "instruments/serial.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "platform/serial.h"
#include "platform/settings.h"
#include "platform/socket.h"
#include "platform/status.h"
#include "platform/stop_request.h"
#include "server/server_link.h"
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
    "                     device first, or without the meter or test server that\n"
    "                     its tests need\n"
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

// Appends words to text, whose last line is column characters long, wrapping
// before column 80 onto lines indented by indent.
void AppendWrapped(std::string* text, const std::string& words, size_t column, size_t indent) {
  size_t at = 0;
  bool first = true;
  while (at < words.size()) {
    size_t end = words.find(' ', at);
    if (end == std::string::npos) end = words.size();
    size_t width = end - at;
    if (!first && column + 1 + width > 79) {
      *text += "\n" + std::string(indent, ' ');
      column = indent;
    } else if (!first) {
      *text += ' ';
      ++column;
    }
    text->append(words, at, width);
    column += width;
    first = false;
    at = end + 1;
  }
  *text += "\n";
}

std::string Usage() {
  std::string text = kUsageHead;
  std::string extra;
  for (const ExtraTest* row = kExtraTests; row->test != nullptr; ++row) {
    extra += std::string(extra.empty() ? "" : ", ") + row->name;
  }
  // The head's last line ends in column 49; the options' texts start in 21.
  AppendWrapped(&text, extra, 49, 21);
  text += kUsageTail;
  text += "\nStations:\n";
  for (const NamedStation* s = kNamedStations; s->name != nullptr; ++s) {
    char line[kTextCapacity];
    char mask[kPieceCapacity];
    TextFormat(mask, sizeof mask, "0x%X", static_cast<unsigned>(s->mask));
    TextFormat(line, sizeof line, "  %-12s %-9s ", s->name, mask);
    text += line;
    AppendWrapped(&text, s->description, std::strlen(line), std::strlen(line));
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
  if (o->station != nullptr && o->haveMask) {
    return args.Error("--station and --mask both given: give one of them");
  }
  if (o->station == nullptr && !o->haveMask) return args.Error("give --station or --mask");
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

// Why a file operation failed, for a person: the system's own words when
// it gave any.
std::string Reason(int status, int osError) { return cli::FileReason(status, osError); }

// The record folder and the JUnit file, tried before the device is touched:
// a run must not end without its record. False with the problem printed.
bool OutputsCanBeWritten(const Options& o) {
  int osError = 0;
  if (!o.recordDir.empty() &&
      !cli::RecordFolderUsable("qxstation", "--record", o.recordDir.c_str())) {
    return false;
  }
  if (!o.junitFile.empty()) {
    const char* file = o.junitFile.c_str();
    int status = platform::CheckFileTakesWrite(file, &osError);
    if (status == platform::kNotRegular) {
      std::fprintf(stderr, "qxstation: --junit %s: is a folder or a device, not a file\n", file);
      return false;
    }
    if (status == platform::kNotFound) {
      std::fprintf(stderr, "qxstation: --junit %s: its folder does not exist\n", file);
      return false;
    }
    if (status != platform::kOk) {
      std::fprintf(stderr, "qxstation: --junit %s: cannot write into its folder: %s\n", file,
                   Reason(status, osError).c_str());
      return false;
    }
  }
  return true;
}

// The names of the tests of the list that need this of the bench.
std::string TestsThatNeed(uint32_t need, const TestRecord* list, uint32_t count) {
  std::string names;
  for (uint32_t i = 0; i < count; ++i) {
    if ((BenchNeeds(list[i].test) & need) == 0) continue;
    names += std::string(names.empty() ? "" : ", ") + list[i].name;
  }
  return names;
}

// What the tests need of the bench besides the device, tried before the
// device is touched: the meter's port opens (and is closed again), the test
// server takes a connection (closed again before a word is said, which the
// server takes as a station that went away). False with the problem printed.
bool BenchIsThere(const TestRecord* list, uint32_t count) {
  uint32_t needs = 0;
  for (uint32_t i = 0; i < count; ++i) needs |= BenchNeeds(list[i].test);
  if ((needs & kNeedsMeter) != 0) {
    const char* port = kComPortNames[kMeterPortIndex];
    char setting[16];
    TextFormat(setting, sizeof setting, "QX_%s", port);
    platform::SerialPort meter;
    int status = meter.Open(port);
    if (status != platform::kOk) {
      std::fprintf(stderr,
                   "qxstation: refused: the bench meter's port %s does not open (%s=%s: %s), "
                   "needed by %s (--force runs it anyway)\n",
                   port, setting, platform::Setting(setting),
                   Reason(status, meter.LastOsError()).c_str(),
                   TestsThatNeed(kNeedsMeter, list, count).c_str());
      return false;
    }
    meter.Close();
  }
  if ((needs & kNeedsServer) != 0) {
    const char* endpoint = platform::Setting("QXTS_ENDPOINT");
    char host[100];
    uint16_t port = 0;
    platform::SocketsUser sockets;
    platform::TcpSocket server;
    int status =
        platform::ParseEndpoint(endpoint, ServerLink::kDefaultPort, host, sizeof host, &port);
    if (status == platform::kOk) status = sockets.status();
    if (status == platform::kOk) status = server.Connect(host, port, ServerLink::kReceiveTimeoutMs);
    if (status != platform::kOk) {
      std::fprintf(stderr,
                   "qxstation: refused: the test server at %s (QXTS_ENDPOINT) takes no "
                   "connection (%s), needed by %s (--force runs it anyway)\n",
                   endpoint, Reason(status, server.LastOsError()).c_str(),
                   TestsThatNeed(kNeedsServer, list, count).c_str());
      return false;
    }
    server.Close();
  }
  return true;
}

bool WriteJUnit(const char* path, const RunRecord& record) {
  std::string xml = record.ToJUnit();
  int osError = 0;
  int status = platform::WriteFileAtomically(path, xml.data(), xml.size(), &osError);
  if (status == platform::kOk) return true;
  std::fprintf(stderr, "qxstation: could not write %s: %s\n", path,
               Reason(status, osError).c_str());
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
  if (!OutputsCanBeWritten(options)) return cli::kExitUsage;
  if (!options.force && !BenchIsThere(planned, count)) return cli::kExitUsage;

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
    int osError = 0;
    int result = WriteRunRecord(options.recordDir, record, &path, &osError);
    if (result != platform::kOk) {
      std::fprintf(stderr, "qxstation: could not write %s: %s\n", path.c_str(),
                   Reason(result, osError).c_str());
      written = false;
    }
  }
  if (!options.junitFile.empty())
    written = WriteJUnit(options.junitFile.c_str(), record) && written;
  if (harness.aborted()) return platform::StopExitStatus(platform::StopRequested());
  return harness.passed() && written ? cli::kExitOk : cli::kExitFailed;
}
