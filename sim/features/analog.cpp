#include "sim/features/analog.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/byte_order.h"
#include "sim/core/protocol.h"

namespace qxsim {

namespace {

constexpr int kChannels = 16;
constexpr double kNoisyFactor = 40.0;

uint32_t FloatBitsOf(float value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// Serves a block of 32-bit values, one per pair of registers, computing
// each pair once per request.
template <typename ValueOf>
void ServePairs(uint16_t base, uint16_t address, size_t count, uint16_t* values, ValueOf valueOf) {
  int lastPair = -1;
  uint32_t value = 0;
  for (size_t i = 0; i < count; ++i) {
    const int offset = address + static_cast<int>(i) - base;
    if (offset / 2 != lastPair) {
      lastPair = offset / 2;
      value = valueOf(lastPair);
    }
    values[i] = static_cast<uint16_t>(offset % 2 == 0 ? value >> 16 : value);
  }
}

}  // namespace

void AddAnalogOptions(cli::OptionTable* table, AnalogOptions* options) {
  table->Option("--analog-seed N", "this device's true analog constants (default 1)",
                cli::Whole(&options->seed, 0xFFFFFFFFu,
                           cli::Exactly("--analog-seed needs a number (0..4294967295)")));
  table->Flag("--fault-analog-constants", "true constants six times further off nominal",
              cli::Set(&options->spreadScale, 6.0));
  table->Flag("--fault-noisy-input", "input 15 carries 40 times its noise",
              cli::Set(&options->noisyChannel, 15));
  table->Flag("--fault-hot-device", "the device's own sensor at 320 K",
              cli::Set(&options->internalKelvin, 320.0));
  table->Flag("--fault-dead-source", "the 10 uA current source gives nothing",
              cli::Set(&options->deadCurrentSource, true));
}

AnalogFrontEnd::AnalogFrontEnd(FlashMemory& flash, const Identity& identity,
                               const AnalogOptions& options)
    : flash_(flash), identity_(identity), options_(options), noise_(options.seed * 7919u + 1) {
  AnalogSpread spread;
  spread.scale = options.spreadScale;
  truth_ = MakeAnalogTruth(options.seed, spread);
  if (options.deadCurrentSource) truth_.source10uA = 0.0;
}

void AnalogFrontEnd::PowerOn() {
  for (Config& c : config_) c = Config();
  dac_[0] = dac_[1] = 0;
}

double AnalogFrontEnd::Sample(int channel, int* converter, int* range) {
  const Config& c = config_[channel];
  *range = c.range < kAnalogRanges ? c.range : kAnalogRanges - 1;
  *converter = ConverterFor(c.resolution, identity_.isMax());
  double volts = 0.0;
  if (channel == kSimTemperatureChannel) {
    volts = SensorVoltsForKelvin(options_.internalKelvin);  // the device's own sensor
  } else if (wiring_) {
    volts = wiring_(channel, c.negative);
  }
  double sigma = NoiseSigmaCounts(*range, c.resolution, identity_.isMax());
  if (channel == options_.noisyChannel) sigma *= kNoisyFactor;
  const double counts = CountsFromVolts(truth_.adc[*converter][*range], volts);
  return RawFromCounts(counts + noise_.Counts(sigma)) / 256.0;
}

uint8_t AnalogFrontEnd::ReadConfig(uint16_t address, size_t count, uint16_t* values) const {
  for (size_t i = 0; i < count; ++i) {
    const int reg = address + static_cast<int>(i);
    const Config& c = config_[(reg - kSimAinNegativeRegister) % 500];
    const int bank = (reg - kSimAinNegativeRegister) / 500;
    values[i] = bank == 0   ? c.negative
                : bank == 1 ? c.range
                : bank == 2 ? c.resolution
                            : c.settling;
  }
  return kExceptionNone;
}

uint8_t AnalogFrontEnd::WriteConfig(uint16_t address, size_t count, const uint16_t* values) {
  for (size_t i = 0; i < count; ++i) {
    const int reg = address + static_cast<int>(i);
    Config& c = config_[(reg - kSimAinNegativeRegister) % 500];
    const int bank = (reg - kSimAinNegativeRegister) / 500;
    (bank == 0   ? c.negative
     : bank == 1 ? c.range
     : bank == 2 ? c.resolution
                 : c.settling) = values[i];
  }
  return kExceptionNone;
}

uint8_t AnalogFrontEnd::ReadRaw(uint16_t address, size_t count, uint16_t* values) {
  ServePairs(kSimAinRawRegister, address, count, values, [this](int channel) {
    int converter = 0;
    int range = 0;
    return RawFromCounts(Sample(channel, &converter, &range));
  });
  return kExceptionNone;
}

uint8_t AnalogFrontEnd::ReadVolts(uint16_t address, size_t count, uint16_t* values) {
  uint8_t record[kCalValues * 4];
  flash_.Peek(kCalibrationRegion.base, record, sizeof record);
  float constants[kCalValues];
  CalValuesFromPage(record, constants);
  ServePairs(kSimAinVoltsRegister, address, count, values, [&](int channel) {
    int converter = 0;
    int range = 0;
    const double counts = Sample(channel, &converter, &range);
    double reading = VoltsFromCounts(constants, converter, range, counts);
    // The internal sensor has a trimmed path of its own: only the
    // temperature constants apply.
    if (channel == kSimTemperatureChannel) {
      reading = KelvinFromSensorVolts(constants, SensorVoltsForKelvin(options_.internalKelvin));
    }
    return FloatBitsOf(static_cast<float>(reading));
  });
  return kExceptionNone;
}

void AnalogFrontEnd::Install(RegisterMap& map) {
  auto config = std::make_shared<FunctionRegisters>(
      [this](uint16_t a, size_t n, uint16_t* v) { return ReadConfig(a, n, v); },
      [this](uint16_t a, size_t n, const uint16_t* v) { return WriteConfig(a, n, v); });
  for (uint16_t bank : {kSimAinNegativeRegister, kSimAinRangeRegister, kSimAinResolutionRegister,
                        kSimAinSettlingRegister}) {
    map.Map(bank, kChannels, config);
  }
  // Readings are read-only; a write is refused.
  auto refuse = [](uint16_t, size_t, const uint16_t*) {
    return static_cast<uint8_t>(kIllegalDataAddress);
  };
  map.Map(kSimAinRawRegister, 2 * kChannels,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t a, size_t n, uint16_t* v) { return ReadRaw(a, n, v); }, refuse));
  map.Map(kSimAinVoltsRegister, 2 * kChannels,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t a, size_t n, uint16_t* v) { return ReadVolts(a, n, v); }, refuse));
  map.Map(kSimDacRegister, 4,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t a, size_t n, uint16_t* v) {
                ServePairs(kSimDacRegister, a, n, v, [this](int d) { return dac_[d]; });
                return static_cast<uint8_t>(kExceptionNone);
              },
              [this](uint16_t a, size_t n, const uint16_t* v) {
                for (size_t i = 0; i < n; ++i) {
                  const int offset = a + static_cast<int>(i) - kSimDacRegister;
                  uint32_t& code = dac_[offset / 2];
                  code = offset % 2 == 0 ? (code & 0xFFFFu) | (uint32_t{v[i]} << 16)
                                         : (code & 0xFFFF0000u) | v[i];
                }
                return static_cast<uint8_t>(kExceptionNone);
              }));
}

}  // namespace qxsim
