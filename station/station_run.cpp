#include "station/station_run.h"

#include <cstdio>
#include <string>

#include "base/cli.h"
#include "base/text.h"
#include "harness/harness.h"
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
#include "station/run_record.h"

namespace {

// Why a file operation failed, for a person: the system's own words when
// it gave any.
std::string Reason(int status, int osError) { return cli::FileReason(status, osError); }

// The names of the tests of the list that need this of the bench.
std::string TestsThatNeed(uint32_t need, const TestRecord* list, uint32_t count) {
  std::string names;
  for (uint32_t i = 0; i < count; ++i) {
    if ((BenchNeeds(list[i].test) & need) == 0) continue;
    names += std::string(names.empty() ? "" : ", ") + list[i].name;
  }
  return names;
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

// The run itself and its outputs; the exit status.
int RunAndRecord(const StationOptions& options) {
  RunRecord record(options.station != nullptr ? options.station->name : "", options.mask);
  TestHarness harness(options.deviceType, options.mask, options.quiet ? 1u : 0u, nullptr,
                      kDeviceTypes);
  for (uint32_t i = 0; i < options.addedCount; ++i) {
    if (!harness.AppendTest(options.added[i]->name, options.added[i]->test)) {
      std::fprintf(stderr, "qxstation: the test list is full: %s not added\n",
                   options.added[i]->name);
      return cli::kExitUsage;
    }
  }
  harness.AddObserver(&record);
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

}  // namespace

uint32_t PlannedTests(const StationOptions& o, TestRecord* list, uint32_t* selected) {
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

bool OutputsCanBeWritten(const StationOptions& o) {
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

// The meter's port opens (and is closed again), the test server takes a
// connection (closed again before a word is said, which the server takes as
// a station that went away).
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

int RunStation(const StationOptions& options) {
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
  return RunAndRecord(options);
}
