// The test jig, and the only place where the wiring between the device's pins
// and the outside is written:
//   - its bus: the set-up block the device writes (5200, 11 registers) and
//     the data block it then reads (5300, 18 registers: code, type, six
//     values); with no jig nothing answers and the block reads 0xFF;
//   - its code lines: the jig ties DIO lines 0-4 to its code (a 0 bit pulls
//     the line low); with no jig they float high;
//   - its E, C and M wiring (DIO 8-22): lines joined so that a line driven
//     low pulls its partners (E0-E1, E2-E3, E4-E5, C0-C1, C2-C3, MIO 0-2),
//     E7 tied low; with no jig every input is pulled high;
//   - its source: the voltage the device sets at 30014 (F32), which reaches
//     the bench meter and analog input 8 (9 its negative) directly, or
//     through the attenuator while DIO line 5 is driven low;
//   - the analog pins: DAC0/DAC1 looped back to inputs 0/1; inputs 2, 3 and
//     9 grounded; the 10 uA and 200 uA sources through the resistors of
//     values 3 and 2 on inputs 10 and 11; the bias current through value 5
//     on input 4; the supply on 6 and, behind the sense resistor (value 4),
//     on 7; the multiplexer rails through the dividers of values 0 and 1 on
//     13 and 12; the external temperature sensor on 5; the reference on 15.
// Its handlers run under the device lock, like the features'.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/cli.h"
#include "sim/features/analog_model.h"
#include "sim/virtual_device.h"

namespace qxsim {

constexpr uint16_t kSimJigSetupRegister = 5200;  // 11 registers, written
constexpr size_t kSimJigSetupRegisters = 11;
constexpr uint16_t kSimJigDataRegister = 5300;  // 18 registers, read
constexpr size_t kSimJigDataRegisters = 18;
constexpr uint16_t kJigSourceRegister = 30014;  // F32, volts
constexpr size_t kJigCodeLines = 5;             // DIO lines 0-4
constexpr size_t kJigAttenuatorLine = 5;
// The attenuated path: what the meter sees of the source while line 5 is low.
constexpr double kJigAttenuation = 1.0 / 22.0;

// What the jig answers on its bus.
struct JigSettings {
  bool present = true;  // false: nothing answers, the code lines float
  uint8_t code = 3;     // also on the code lines
  uint16_t type = 6;
  // Vm+ and Vm- scales, the two current-source resistors (ohms), the
  // current-sense resistor (ohms), the bias-current resistor (ohms).
  double values[6] = {4.0, 4.0, 10000.0, 47000.0, 0.1, 100000.0};
  double supplyVolts = 5.02;
  double supplyAmps = 0.153;
  double railPositive = 12.6;
  double railNegative = -12.4;
  double externalKelvin = 297.95;
  // Faults: the 10 uA resistor off its reported value by this fraction; the
  // source drifting by this fraction per second after each setting.
  double resistor10uAError = 0.0;
  double sourceDriftPerSecond = 0.0;
  // Faults of the outputs' loop-back: DAC0 dead (its input reads 0 V), or
  // the two outputs wired to each other's input.
  bool deadDac0 = false;
  bool swappedDacs = false;
};

// What drives the analog pins at one moment.
struct AnalogDrive {
  double sourceVolts = 0.0;  // drift included
  bool line5Low = false;     // the source reaches input 8 through the attenuator
  uint32_t dacCode[2] = {0, 0};
};

// Volts at analog pin c against ground, and what input c sees against its
// negative input (outside 0..15: ground).
double JigPinVolts(const JigSettings& jig, const AnalogTruth& truth, const AnalogDrive& drive,
                   int channel);
double JigInputVolts(const JigSettings& jig, const AnalogTruth& truth, const AnalogDrive& drive,
                     int channel, int negativeChannel);
// The source after seconds of drift from the value set.
double DriftedSource(double setVolts, const JigSettings& jig, double seconds);

// The jig's options of the qxsim command line: its identity and values, and
// its faults.
void AddJigOptions(cli::OptionTable* table, JigSettings* jig);

// The voltage at the meter's input for a source voltage.
double JigMeterVolts(double sourceVolts, bool line5Low);

class Jig {
 public:
  explicit Jig(JigSettings settings) : settings_(settings) {}
  Jig(const Jig&) = delete;
  Jig& operator=(const Jig&) = delete;

  // Maps the bus and source registers and connects the jig to the device's
  // DIO lines.
  void AttachTo(VirtualDevice& device);

  // Under the device lock (in a handler, or inside VirtualDevice::WithCore):
  double sourceVolts() const { return sourceVolts_; }
  // The source as it is now, drift included.
  double SourceNow() const;
  double MeterVolts() const;
  const JigSettings& settings() const { return settings_; }
  void SetSettings(const JigSettings& settings) { settings_ = settings; }

 private:
  // The analog pins, the stream and the digital lines wired to the jig.
  void Wire(DeviceCore& core);
  // The jig's bus (setup and data block) and its source's register.
  void MapBus(RegisterMap& map);
  void MapSource(RegisterMap& map);
  uint32_t PinLevels(uint32_t outputs, uint32_t outputLevels) const;
  void DataBlock(uint8_t* bytes) const;

  JigSettings settings_;
  const DioLines* dio_ = nullptr;
  const SimClock* clock_ = nullptr;
  uint16_t setup_[kSimJigSetupRegisters] = {};
  uint16_t sourceWords_[2] = {};
  double sourceVolts_ = 0.0;
  uint64_t sourceSetMs_ = 0;
};

}  // namespace qxsim
