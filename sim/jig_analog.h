// The jig's analog wiring, without registers: the voltage at each of the
// device's 16 analog pins for the jig's source, line 5, the DAC codes and
// the jig's resistors, and what a configured channel sees (differential or
// single-ended). One function per question, so the bench's jig can call it
// with its state under the device lock.
#pragma once

#include <cstdint>

#include "sim/analog_model.h"

namespace qxsim {

constexpr int kAnalogChannels = 16;
constexpr int kSingleEndedNegative = 199;
constexpr double kJigAttenuatorRatio = 1.0 / 22.0;

// What the jig is built with; values[] is what it reports on its bus:
// 0, 1 the rail dividers (Vm+, Vm-), 2 the 200 uA resistor, 3 the 10 uA
// resistor, 4 the supply-current sense resistor, 5 the bias resistor.
struct JigAnalog {
  double values[6] = {4.0, 4.0, 10000.0, 47000.0, 0.1, 100000.0};
  double supplyVolts = 5.02;
  double supplyAmps = 0.153;
  double railPositive = 12.6;
  double railNegative = -12.4;
  double internalKelvin = 298.4;
  double externalKelvin = 297.95;
};

// Faults of the analog bench.
struct AnalogFaults {
  double resistor10uAError = 0.0;  // the 10 uA resistor is off its reported value by this fraction
  bool deadCurrentSource = false;  // the 10 uA source gives nothing
  int noisyChannel = -1;           // this channel's readings carry 40x the noise
  double sourceDriftPerSecond = 0.0;  // relative drift of the source after each setting
};

// The moment's state of what drives the pins.
struct AnalogDrive {
  double sourceVolts = 0.0;  // the source as it is now (drift included)
  bool line5Low = false;     // the source reaches channel 8 through the attenuator
  uint32_t dacCode[2] = {0, 0};
};

// Volts at pin c against ground.
double PinVolts(const AnalogTruth& truth, const JigAnalog& jig, const AnalogFaults& faults,
                const AnalogDrive& drive, int channel);

// What channel c measures with this negative channel (199: single-ended).
double InputVolts(const AnalogTruth& truth, const JigAnalog& jig, const AnalogFaults& faults,
                  const AnalogDrive& drive, int channel, int negativeChannel);

// The source after seconds of drift from the value set.
double DriftedSource(double setVolts, const AnalogFaults& faults, double seconds);

}  // namespace qxsim
