// qxmeter: the operator's check of the bench meter. Opens the meter, shows
// its identification and takes one set of DC-voltage readings.
//
//   qxmeter [--port COMn] [--range 0|1|2] [--samples N]

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/cli.h"
#include "base/text.h"
#include "instruments/meter.h"
#include "platform/clock.h"
#include "platform/settings.h"
#include "platform/status.h"

namespace {

constexpr uint32_t kPollMs = 10;
constexpr int kDefaultSamples = 8;
constexpr int kMaxRequestedSamples = 100000;
// The meter's reading for an input beyond its range.
constexpr double kOverload = 9.9e37;

struct Options {
  int portIndex = kMeterPortIndex;
  int range = 0;
  int samples = kDefaultSamples;
};

constexpr const char* kUsage =
    "usage: qxmeter [--port COMn] [--range 0|1|2] [--samples N]\n"
    "\n"
    "Opens the bench meter, shows its identification and takes one set of\n"
    "DC-voltage readings. Exit status: 0 readings shown, 1 no meter or no\n"
    "readings, 2 bad arguments.\n"
    "\n"
    "  --port COMn        COM1 ... COM8 (default COM3; on this system the device\n"
    "                     path is the setting QX_COMn)\n"
    "  --range R          0: 10 V, 1: 1 V, 2: 0.1 V full scale (default 0)\n"
    "  --samples N        readings to take, 1 ... 64 (default 8)\n"
    "  --help, --version  this text, the version\n";

bool ParseInt(const char* text, int low, int high, int* value) {
  uint64_t v = 0;
  if (!cli::ParseUnsigned(text, static_cast<uint64_t>(high), &v) ||
      v < static_cast<uint64_t>(low)) {
    return false;
  }
  *value = static_cast<int>(v);
  return true;
}

bool ParsePort(const char* text, int* index) {
  for (int i = 0; i < kComPortCount; ++i) {
    if (text != nullptr && std::strcmp(text, kComPortNames[i]) == 0) {
      *index = i;
      return true;
    }
  }
  return false;
}

// Returns -1 to go on, else the exit status.
int ParseArguments(int argc, char** argv, Options* options) {
  cli::Arguments args("qxmeter", argc, argv);
  while (args.Next()) {
    if (args.HelpOrVersion(kUsage)) return cli::kExitOk;
    const char* value = nullptr;
    if (args.Option("--port", &value)) {
      if (!ParsePort(value, &options->portIndex)) return args.BadValue("a port COM1 ... COM8");
    } else if (args.Option("--range", &value)) {
      if (!ParseInt(value, 0, kMeterRangeCount - 1, &options->range)) {
        return args.BadValue("a range 0, 1 or 2");
      }
    } else if (args.Option("--samples", &value)) {
      if (!ParseInt(value, 1, kMaxRequestedSamples, &options->samples)) {
        return args.BadValue("a sample count");
      }
    } else {
      return args.Unknown();
    }
  }
  return args.failed() ? cli::kExitUsage : -1;
}

// The identification without its line end.
void CleanIdn(const char* idn, char (&out)[kMeterIdnCapacity]) {
  TextCopy(out, idn);
  size_t n = std::strlen(out);
  while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r')) out[--n] = '\0';
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int status = ParseArguments(argc, argv, &options);
  if (status >= 0) return status;
  const char* portName = kComPortNames[options.portIndex];
  char settingName[16];
  TextFormat(settingName, sizeof settingName, "QX_%s", portName);
  std::printf("Opening the meter on %s (%s)...\n", portName, platform::Setting(settingName));
  std::fflush(stdout);

  Meter meter(options.portIndex, 0);
  meter.Open();
  if (!meter.IsOpen()) {
    const Serial* port = meter.Port();
    int osError = port != nullptr ? port->LastOsError() : 0;
    char osText[256];
    std::printf("\nqxmeter: %s is not usable%s%s; no meter answers.\n", portName,
                osError != 0 ? ": " : "",
                osError != 0 ? platform::OsErrorText(osError, osText, sizeof osText) : "");
    return 1;
  }
  char idn[kMeterIdnCapacity];
  CleanIdn(meter.Idn(), idn);
  if (std::strlen(idn) < 10) {
    std::printf("qxmeter: no meter answers on %s (no identification after 3 attempts).\n",
                portName);
    meter.Close();
    return 1;
  }
  // The meter's own text: none of it may steer the terminal.
  char shown[EscapedCapacity(kMeterIdnCapacity)] = {};
  TextAppendEscaped(shown, sizeof shown, idn, nullptr);
  std::printf("Meter: %s\n", shown);

  meter.Configure(options.range);
  meter.SetNumSamples(options.samples);
  int count = meter.NumSamples();
  double values[kMeterMaxSamples] = {};
  bool done = false;
  meter.StartRead();
  // GetReadings ends the wait itself after its time-out.
  while (!done) {
    meter.GetReadings(values, kMeterMaxSamples, &done);
    if (!done) platform::SleepMs(kPollMs);
  }
  status = 0;
  switch (meter.LastReadResult()) {
    case MeterReadResult::kOk: {
      double sum = 0;
      int overloads = 0;
      for (int i = 0; i < count; ++i) {
        if (std::fabs(values[i]) >= kOverload) {
          std::printf("%3d  overload\n", i + 1);
          ++overloads;
          continue;
        }
        std::printf("%3d  %+.8f V\n", i + 1, values[i]);
        sum += values[i];
      }
      if (overloads < count) {
        std::printf("mean %+.8f V over %d readings (range %d)\n", sum / (count - overloads),
                    count - overloads, options.range);
      }
      if (overloads > 0) {
        std::printf("%d readings beyond the range's full scale: choose a larger range\n",
                    overloads);
      }
      // Overloads are the meter's word for no number: a set of only those is
      // no reading at all.
      if (overloads == count) status = 1;
      break;
    }
    case MeterReadResult::kGarbled:
      std::printf("qxmeter: the meter's answer held a field that is not a reading.\n");
      status = 1;
      break;
    default:
      std::printf("qxmeter: no readings from the meter within %u s.\n", kMeterReadTimeoutMs / 1000);
      status = 1;
      break;
  }
  meter.Close();
  return status;
}
