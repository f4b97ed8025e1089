// The device's analog front end: 16 input channels, each configured by
// four registers (40000 + c negative channel, 199 single-ended; 40500 + c
// range index 0..3; 41000 + c resolution index, 9 and up the HR converter
// on the "-Max" edition; 41500 + c settling), read raw (U32 at 50000 + 2c,
// counts x 256, zero input near 33523 counts) or calibrated (F32 at 2c, volts;
// channel 14, the internal sensor, in kelvin) with the record in the
// device's own calibration page (the nominal constants while it is blank);
// and the two DACs (U32 codes at 51000 and 51002).
//
// Each device has its own true slopes and centers per converter and range,
// DAC slopes and offsets, current sources and bias current, drawn from a
// seed. What the pins carry comes from the wiring (sim/jig.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "base/cli.h"
#include "sim/core/flash.h"
#include "sim/core/register_map.h"
#include "sim/features/analog_model.h"
#include "sim/features/identity.h"

namespace qxsim {

constexpr uint16_t kSimAinVoltsRegister = 0;
constexpr uint16_t kSimAinNegativeRegister = 40000;
constexpr uint16_t kSimAinRangeRegister = 40500;
constexpr uint16_t kSimAinResolutionRegister = 41000;
constexpr uint16_t kSimAinSettlingRegister = 41500;
constexpr uint16_t kSimAinRawRegister = 50000;
constexpr uint16_t kSimDacRegister = 51000;  // DAC0; DAC1 at + 2
constexpr int kSimTemperatureChannel = 14;

struct AnalogOptions {
  uint32_t seed = 1;
  double spreadScale = 1.0;        // 1: about +-1-2 % and +-150 counts off nominal
  bool deadCurrentSource = false;  // the 10 uA source gives nothing
  int noisyChannel = -1;           // this channel carries 40x the noise
  double internalKelvin = 298.4;
};

// The analog options of the qxsim command line: the seed of the true
// constants and the analog faults.
void AddAnalogOptions(cli::OptionTable* table, AnalogOptions* options);

// The voltage that channel c sees against its negative channel (199 or
// anything outside 0..15: ground).
using AnalogWiring = std::function<double(int channel, int negativeChannel)>;

class AnalogFrontEnd {
 public:
  AnalogFrontEnd(FlashMemory& flash, const Identity& identity, const AnalogOptions& options);
  void Install(RegisterMap& map);
  void PowerOn();  // channels unconfigured, DACs at code 0

  void SetWiring(AnalogWiring wiring) { wiring_ = std::move(wiring); }
  const AnalogTruth& truth() const { return truth_; }
  uint32_t dacCode(int dac) const { return dac == 0 || dac == 1 ? dac_[dac] : 0; }

 private:
  struct Config {
    uint16_t negative = 0;
    uint16_t range = 0;
    uint16_t resolution = 0;
    uint16_t settling = 0;
  };
  // One conversion of channel c as configured, noise included.
  double Sample(int channel, int* converter, int* range);
  uint8_t ReadConfig(uint16_t address, size_t count, uint16_t* values) const;
  uint8_t WriteConfig(uint16_t address, size_t count, const uint16_t* values);
  uint8_t ReadRaw(uint16_t address, size_t count, uint16_t* values);
  uint8_t ReadVolts(uint16_t address, size_t count, uint16_t* values);

  FlashMemory& flash_;
  const Identity& identity_;
  AnalogOptions options_;
  AnalogTruth truth_;
  AnalogNoise noise_;
  AnalogWiring wiring_;
  Config config_[16];
  uint32_t dac_[2] = {0, 0};
};

}  // namespace qxsim
