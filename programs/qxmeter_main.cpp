// qxmeter: the operator's check of the bench meter. Opens the meter, shows
// its identification and takes one set of DC-voltage readings.
//
//   qxmeter [--port COMn] [--range 0|1|2] [--samples N]
#include <cstring>
#include <string>

#include "base/cli.h"
#include "instruments/meter_check.h"
#include "instruments/serial.h"

namespace {

constexpr uint64_t kMaxRequestedSamples = 100000;

void AddMeterCheckOptions(cli::OptionTable* table, MeterCheckOptions* o) {
  table->Option("--port COMn",
                "COM1 ... COM8 (default COM3; on this system the device\n"
                "path is the setting QX_COMn)",
                [o](cli::Value& v) {
                  for (int i = 0; i < kComPortCount; ++i) {
                    if (std::strcmp(v.text(), kComPortNames[i]) != 0) continue;
                    o->portIndex = i;
                    return true;
                  }
                  return v.Refuse(cli::IsNot("a port COM1 ... COM8"));
                });
  table->Option("--range R", "0: 10 V, 1: 1 V, 2: 0.1 V full scale (default 0)",
                cli::Whole(&o->range, kMeterRangeCount - 1, cli::IsNot("a range 0, 1 or 2")));
  table->Option("--samples N", "readings to take, 1 ... 64 (default 8)",
                cli::Whole(&o->samples, kMaxRequestedSamples, cli::IsNot("a sample count"), 1));
}

}  // namespace

int main(int argc, char** argv) {
  MeterCheckOptions options;
  cli::OptionTable table(21);
  AddMeterCheckOptions(&table, &options);
  const std::string usage =
      "usage: qxmeter [--port COMn] [--range 0|1|2] [--samples N]\n"
      "\n"
      "Opens the bench meter, shows its identification and takes one set of\n"
      "DC-voltage readings. Exit status: 0 readings shown, 1 no meter or no\n"
      "readings, 2 bad arguments.\n"
      "\n" +
      table.Help();
  int status = table.Parse("qxmeter", argc, argv, usage);
  return status >= 0 ? status : CheckBenchMeter(options);
}
