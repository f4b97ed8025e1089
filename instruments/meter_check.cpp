#include "instruments/meter_check.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/text.h"
#include "platform/clock.h"
#include "platform/settings.h"
#include "platform/status.h"

namespace {

constexpr uint32_t kPollMs = 10;
// The meter's reading for an input beyond its range.
constexpr double kOverload = 9.9e37;

// The identification without its line end.
void CleanIdn(const char* idn, char (&out)[kMeterIdnCapacity]) {
  TextCopy(out, idn);
  size_t n = std::strlen(out);
  while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == '\r')) out[--n] = '\0';
}

// Opens the meter and shows its identification; false (the meter closed)
// when none answers.
bool OpenAndIdentify(Meter* meter, const char* portName) {
  meter->Open();
  if (!meter->IsOpen()) {
    const Serial* port = meter->Port();
    int osError = port != nullptr ? port->LastOsError() : 0;
    char osText[256];
    std::printf("\nqxmeter: %s is not usable%s%s; no meter answers.\n", portName,
                osError != 0 ? ": " : "",
                osError != 0 ? platform::OsErrorText(osError, osText, sizeof osText) : "");
    return false;
  }
  char idn[kMeterIdnCapacity];
  CleanIdn(meter->Idn(), idn);
  if (std::strlen(idn) < 10) {
    std::printf("qxmeter: no meter answers on %s (no identification after 3 attempts).\n",
                portName);
    meter->Close();
    return false;
  }
  // The meter's own text: none of it may steer the terminal.
  char shown[EscapedCapacity(kMeterIdnCapacity)] = {};
  TextAppendEscaped(shown, sizeof shown, idn, nullptr);
  std::printf("Meter: %s\n", shown);
  return true;
}

// Shows a set of readings; 1 when every one is an overload, the meter's
// word for no number, so that the set is no reading at all.
int ShowReadings(const double* values, int count, int range) {
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
                count - overloads, range);
  }
  if (overloads > 0) {
    std::printf("%d readings beyond the range's full scale: choose a larger range\n", overloads);
  }
  return overloads == count ? 1 : 0;
}

}  // namespace

int CheckBenchMeter(const MeterCheckOptions& options) {
  const char* portName = kComPortNames[options.portIndex];
  char settingName[16];
  TextFormat(settingName, sizeof settingName, "QX_%s", portName);
  std::printf("Opening the meter on %s (%s)...\n", portName, platform::Setting(settingName));
  std::fflush(stdout);

  Meter meter(options.portIndex, 0);
  if (!OpenAndIdentify(&meter, portName)) return 1;
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
  int status = 1;
  switch (meter.LastReadResult()) {
    case MeterReadResult::kOk:
      status = ShowReadings(values, count, options.range);
      break;
    case MeterReadResult::kGarbled:
      std::printf("qxmeter: the meter's answer held a field that is not a reading.\n");
      break;
    default:
      std::printf("qxmeter: no readings from the meter within %u s.\n", kMeterReadTimeoutMs / 1000);
      break;
  }
  meter.Close();
  return status;
}
