#include "sim/jig.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/byte_order.h"
#include "sim/core/protocol.h"

namespace qxsim {

namespace {

// The bus transfer that makes the jig deliver its data block, as registers.
constexpr uint16_t kExpectedSetup[kSimJigSetupRegisters] = {
    0x0007, 0x0006, 0x0000, 0x0000, 0x00A0, 0x0000, 0x0000, 0x0000, 0x0001, 0x0020, 0x0000};

// The E, C and M wiring: E0-E1, E2-E3, E4-E5, C0-C1, C2-C3 joined in pairs,
// MIO 0-2 joined together, E6 open, E7 tied to ground.
constexpr uint32_t kJigDioNets[] = {0x300, 0xC00, 0x3000, 0x30000, 0xC0000, 0x700000};
constexpr uint32_t kJigDioTiedLow = 1u << 15;

// A negative input outside 0..15: the input is measured against ground.
constexpr int kJigGround = 199;

}  // namespace

namespace {

// "A,B,C,D,E,F": six real numbers.
bool TakeJigValues(cli::Value& v, JigSettings* jig) {
  const std::string& text = v.string();
  double values[6];
  size_t start = 0;
  for (int k = 0; k < 6; ++k) {
    size_t comma = text.find(',', start);
    bool last = k == 5;
    if ((comma == std::string::npos) != last) {
      return v.Refuse(cli::Says("--jig-values needs six values separated by commas: "));
    }
    std::string piece = text.substr(start, last ? std::string::npos : comma - start);
    if (!cli::ParseReal(piece.c_str(), &values[k])) return v.Refuse("bad jig value: " + piece);
    start = comma + 1;
  }
  std::memcpy(jig->values, values, sizeof values);
  return true;
}

}  // namespace

void AddJigOptions(cli::OptionTable* table, JigSettings* jig) {
  table->Option("--jig-code N", "the jig's code, 0..31 (default 3)",
                cli::Whole(&jig->code, 31, cli::Says("bad jig code (0..31): ")));
  table->Option("--jig-type N", "the jig's type (default 6)",
                cli::Whole(&jig->type, 65535, cli::Says("bad jig type (0..65535): ")));
  table->Option("--jig-values A,B,C,D,E,F", "the jig's six values",
                [jig](cli::Value& v) { return TakeJigValues(v, jig); });
  table->Flag("--no-jig", "nothing answers on the jig's bus", cli::Set(&jig->present, false));
  table->Flag("--fault-jig-resistor", "the 10 uA resistor is 3 % off its reported value",
              cli::Set(&jig->resistor10uAError, 0.03));
  table->Flag("--fault-source-drift", "the source drifts 0.2 % a second after each setting",
              cli::Set(&jig->sourceDriftPerSecond, 0.002));
  table->Flag("--fault-dead-dac", "DAC0 gives nothing at its loop-back input",
              cli::Set(&jig->deadDac0, true));
  table->Flag("--fault-swapped-dacs", "DAC0 and DAC1 reach each other's input",
              cli::Set(&jig->swappedDacs, true));
  table->Option(
      "--fault-supply V", "the supply at V volts (default 5.02)",
      cli::Real(&jig->supplyVolts, 0.0, 20.0, cli::Exactly("--fault-supply needs volts (0..20)")));
  table->Flag("--fault-rails", "the positive rail at 14.6 V", cli::Set(&jig->railPositive, 14.6));
}

double JigMeterVolts(double sourceVolts, bool line5Low) {
  return line5Low ? sourceVolts * kJigAttenuation : sourceVolts;
}

double JigPinVolts(const JigSettings& jig, const AnalogTruth& truth, const AnalogDrive& drive,
                   int channel) {
  switch (channel) {
    case 0:
    case 1: {  // DAC0 and DAC1 looped back
      const int dac = jig.swappedDacs ? 1 - channel : channel;
      if (dac == 0 && jig.deadDac0) return 0.0;
      return (drive.dacCode[dac] - truth.dacOffset[dac]) / truth.dacSlope[dac];
    }
    case 4:  // the bias current through its resistor
      return truth.biasCurrent * jig.values[5];
    case 5: {  // the external sensor: 10 mV per degree Fahrenheit
      const double fahrenheit = (jig.externalKelvin - 273.15) * 9.0 / 5.0 + 32.0;
      return fahrenheit / 100.0;
    }
    case 6:  // the supply, ahead of its sense resistor
      return jig.supplyVolts;
    case 7:  // behind it
      return jig.supplyVolts - jig.supplyAmps * jig.values[4];
    case 8:
      return JigMeterVolts(drive.sourceVolts, drive.line5Low);
    case 10:
      return truth.source10uA * jig.values[3] * (1.0 + jig.resistor10uAError);
    case 11:
      return truth.source200uA * jig.values[2];
    case 12:  // the rails through their dividers
      return jig.railNegative / jig.values[1];
    case 13:
      return jig.railPositive / jig.values[0];
    default:  // 2, 3, 9 grounded; 15 the reference
      return 0.0;
  }
}

double JigInputVolts(const JigSettings& jig, const AnalogTruth& truth, const AnalogDrive& drive,
                     int channel, int negativeChannel) {
  const double positive = JigPinVolts(jig, truth, drive, channel);
  if (negativeChannel < 0 || negativeChannel >= 16) return positive;
  return positive - JigPinVolts(jig, truth, drive, negativeChannel);
}

double DriftedSource(double setVolts, const JigSettings& jig, double seconds) {
  return setVolts * (1.0 + jig.sourceDriftPerSecond * seconds);
}

double Jig::MeterVolts() const {
  return JigMeterVolts(SourceNow(), dio_ != nullptr && dio_->DrivenLow(kJigAttenuatorLine));
}

double Jig::SourceNow() const {
  if (clock_ == nullptr || settings_.sourceDriftPerSecond == 0.0) return sourceVolts_;
  return DriftedSource(sourceVolts_, settings_, (clock_->NowMs() - sourceSetMs_) / 1000.0);
}

uint32_t Jig::PinLevels(uint32_t outputs, uint32_t outputLevels) const {
  uint32_t pins = UnwiredLevels(outputs, outputLevels);
  if (!settings_.present) return pins;
  // The code lines read the jig's code unless the device drives them.
  constexpr uint32_t kCodeMask = (1u << kJigCodeLines) - 1;
  uint32_t tied = kCodeMask & ~outputs;
  pins = (pins & ~tied) | (settings_.code & tied);
  // E, C and M: a line driven low pulls the lines joined to it.
  uint32_t drivenLow = outputs & ~outputLevels;
  for (uint32_t net : kJigDioNets) {
    if ((drivenLow & net) != 0) pins &= ~net;
  }
  return pins & ~kJigDioTiedLow;
}

void Jig::DataBlock(uint8_t* bytes) const {
  if (!settings_.present || std::memcmp(setup_, kExpectedSetup, sizeof setup_) != 0) {
    std::memset(bytes, 0xFF, kSimJigDataRegisters * 2);
    return;
  }
  std::memset(bytes, 0, kSimJigDataRegisters * 2);
  // Eight floats from byte 4: float 0 carries code and type, floats 1, 2, 3,
  // 5, 6 and 7 the six values, float 4 nothing.
  static const int kValueFloats[6] = {1, 2, 3, 5, 6, 7};
  for (int i = 0; i < 6; ++i) {
    PutF32BE(bytes, kSimJigDataRegisters * 2, 4 + 4 * kValueFloats[i],
             static_cast<float>(settings_.values[i]));
  }
  bytes[5] = settings_.code;
  bytes[6] = static_cast<uint8_t>(settings_.type >> 8);
  bytes[7] = static_cast<uint8_t>(settings_.type);
}

void Jig::AttachTo(VirtualDevice& device) {
  device.Install([this](RegisterMap& map, DeviceCore& core) {
    Wire(core);
    MapBus(map);
    MapSource(map);
  });
}

void Jig::Wire(DeviceCore& core) {
  dio_ = &core.dio;
  clock_ = &core.clock;
  AnalogFrontEnd* analog = &core.analog;
  AnalogWiring wiring = [this, analog](int channel, int negativeChannel) {
    if (!settings_.present) return 0.0;  // nothing on the pins
    AnalogDrive drive;
    drive.sourceVolts = SourceNow();
    drive.line5Low = dio_->DrivenLow(kJigAttenuatorLine);
    drive.dacCode[0] = analog->dacCode(0);
    drive.dacCode[1] = analog->dacCode(1);
    return JigInputVolts(settings_, analog->truth(), drive, channel, negativeChannel);
  };
  analog->SetWiring(wiring);
  // The stream scans the same pins, single-ended.
  core.stream.SetReading(
      [wiring](int channel) { return static_cast<float>(wiring(channel, kJigGround)); });
  core.dio.SetWiring(
      [this](uint32_t outputs, uint32_t outputLevels) { return PinLevels(outputs, outputLevels); });
}

void Jig::MapBus(RegisterMap& map) {
  map.Map(kSimJigSetupRegister, kSimJigSetupRegisters,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t address, size_t count, uint16_t* values) {
                for (size_t i = 0; i < count; ++i) {
                  values[i] = setup_[address - kSimJigSetupRegister + i];
                }
                return static_cast<uint8_t>(kExceptionNone);
              },
              [this](uint16_t address, size_t count, const uint16_t* values) {
                for (size_t i = 0; i < count; ++i) {
                  setup_[address - kSimJigSetupRegister + i] = values[i];
                }
                return static_cast<uint8_t>(kExceptionNone);
              }));
  map.Map(
      kSimJigDataRegister, kSimJigDataRegisters,
      std::make_shared<FunctionRegisters>(
          [this](uint16_t address, size_t count, uint16_t* values) {
            uint8_t bytes[kSimJigDataRegisters * 2];
            DataBlock(bytes);
            for (size_t i = 0; i < count; ++i) {
              size_t at = 2 * (address - kSimJigDataRegister + i);
              values[i] = static_cast<uint16_t>(bytes[at] << 8 | bytes[at + 1]);
            }
            return static_cast<uint8_t>(kExceptionNone);
          },
          // Read-only; writes are taken and ignored.
          [](uint16_t, size_t, const uint16_t*) { return static_cast<uint8_t>(kExceptionNone); }));
}

void Jig::MapSource(RegisterMap& map) {
  // The source follows the device's register and drops to 0 V when the
  // device powers on.
  map.Map(kJigSourceRegister, 2,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t address, size_t count, uint16_t* values) {
                for (size_t i = 0; i < count; ++i) {
                  values[i] = sourceWords_[address - kJigSourceRegister + i];
                }
                return static_cast<uint8_t>(kExceptionNone);
              },
              [this](uint16_t address, size_t count, const uint16_t* values) {
                for (size_t i = 0; i < count; ++i) {
                  sourceWords_[address - kJigSourceRegister + i] = values[i];
                }
                float volts = GetF32(sourceWords_);
                // A value that is not a number leaves the source at 0 V.
                sourceVolts_ = std::isfinite(volts) ? volts : 0.0;
                sourceSetMs_ = clock_->NowMs();
                return static_cast<uint8_t>(kExceptionNone);
              },
              [this] {
                sourceWords_[0] = sourceWords_[1] = 0;
                sourceVolts_ = 0.0;
              }));
}

}  // namespace qxsim
