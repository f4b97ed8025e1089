#include "production/supply_checks.h"

#include <cmath>

#include "base/text.h"
#include "device/register_addresses.h"
#include "device/registers.h"
#include "harness/mask_bits.h"
#include "harness/measure.h"
#include "harness/messages.h"

namespace {

constexpr int kSupplyChannel = 6;
constexpr int kRailMinusChannel = 12;
constexpr int kRailPlusChannel = 13;
constexpr int kInternalTempChannel = 14;
constexpr int kExternalTempChannel = 5;

constexpr double kVsMin = 4.2;
constexpr double kVsMinCalibrating = 4.7;
constexpr double kVsMax = 5.5;
constexpr double kRailLow = 11.5;
constexpr double kRailHigh = 14.0;
constexpr double kTempLowCalibrating = 290.0;
constexpr double kTempHighCalibrating = 305.0;
constexpr double kTempLow = 280.0;
constexpr double kTempHigh = 315.0;

int AnalogRegister(int channel) { return kRegAnalogInput + 2 * channel; }

// The usual setup, or the current-sense one of the supply channel: its own
// range, measured against channel 7.
int32_t Setup(int handle, int channel, bool currentSense = false) {
  if (!currentSense) return ConfigureUsualChannel(handle, channel);
  return ConfigureChannel(handle, channel, 2, kResolutionHs, 7, kSettlingUsual);
}

int32_t SetupAndRead(int handle, int channel, float* value) {
  int32_t code = Setup(handle, channel);
  if (code != 0) return code;
  return ReadFloat(handle, AnalogRegister(channel), value);
}

bool Within(float value, double low, double high) {
  double v = value;
  return v >= low && v <= high;
}

void Append(char* msg, size_t cap, const char* format, double value) {
  char piece[kPieceCapacity];
  TextFormat(piece, sizeof piece, format, value);
  TextAppend(msg, cap, piece);
}

void RangeFailure(const char* format, float value, char* msg, size_t cap) {
  char piece[kPieceCapacity];
  TextFormat(piece, sizeof piece, format, static_cast<double>(value));
  TextCopy(msg, cap, piece);
  TextFormat(piece, sizeof piece, ", %.0f to %.0f required", kTempLowCalibrating,
             kTempHighCalibrating);
  TextAppend(msg, cap, piece);
}

}  // namespace

uint32_t JudgeSupply(float vs, float is, bool calibrating, char* msg, size_t cap) {
  double v = vs;
  const char* label = nullptr;
  // A reading that is not a number is below and above no limit: refused
  // first, showing what was read.
  if (std::isnan(v)) {
    label = "Vs not a number: ";
  } else if (v < kVsMin) {
    label = "Vs too low: ";
  } else if (calibrating && v < kVsMinCalibrating) {
    label = "Vs too low to Cal: ";
  } else if (v > kVsMax) {
    label = "Vs too high: ";
  }
  if (label != nullptr) {
    TextCopy(msg, cap, label);
    Append(msg, cap, "%.03f", v);
    return kLevelFatal;
  }
  TextCopy(msg, cap, "");
  Append(msg, cap, "Vs: %.03fV, ", v);
  Append(msg, cap, "Is: %.03fA", is);
  return kLevelPassed;
}

uint32_t JudgeRails(float vmPlus, float vmMinus, char* msg, size_t cap) {
  bool good = Within(vmPlus, kRailLow, kRailHigh) && Within(vmMinus, -kRailHigh, -kRailLow);
  TextCopy(msg, cap, "");
  Append(msg, cap, "Vm+: %.03fV, ", vmPlus);
  Append(msg, cap, "Vm-: %.03fV", vmMinus);
  return good ? kLevelPassed : kLevelFatal;
}

uint32_t JudgeTemperature(float tin, const float* tex, bool calibrating, char* msg, size_t cap) {
  TextCopy(msg, cap, "");
  Append(msg, cap, "Tin: %.02fK", tin);
  if (tex != nullptr) Append(msg, cap, ", Tex: %.02fK", *tex);
  if (!calibrating) {
    return Within(tin, kTempLow, kTempHigh) ? kLevelPassed : kLevelWarning;
  }
  if (!Within(tin, kTempLowCalibrating, kTempHighCalibrating)) {
    RangeFailure("Int Temp: %.02fK", tin, msg, cap);
    return kLevelFatal;
  }
  // Without the jig there is no external reading to judge.
  if (tex != nullptr && !Within(*tex, kTempLowCalibrating, kTempHighCalibrating)) {
    RangeFailure("Ext Temp: %.02fK", *tex, msg, cap);
    return kLevelFatal;
  }
  return kLevelPassed;
}

float ExternalKelvin(float volts) {
  double fahrenheit = static_cast<double>(volts) * 100.0;
  return static_cast<float>(((fahrenheit - 32.0) * 5.0 / 9.0) + 273.15);
}

uint32_t VsAndCurrent(TestContext* context) {
  context->EL = kLevelPassed;
  if ((context->mask & kMaskJig) == 0) {
    SetFailureSource(context, kSourceStation);
    return Finish(context, kLevelFatal, "Test Jig Required.");
  }
  float vs = 0.0f;
  float vi = 0.0f;
  int32_t code = SetupAndRead(context->handle, kSupplyChannel, &vs);
  if (code == 0) code = Setup(context->handle, kSupplyChannel, true);
  if (code == 0) code = ReadFloat(context->handle, AnalogRegister(kSupplyChannel), &vi);
  if (code != 0) return FailComm(context, code);
  float is = vi / static_cast<float>(context->jigValues[kJigSenseOhms]);
  bool calibrating = (context->mask & kMaskCalibration) != 0;
  context->EL = JudgeSupply(vs, is, calibrating, context->Msg, sizeof context->Msg);
  Measure(context, "Vs", vs, "V", calibrating ? kVsMinCalibrating : kVsMin, kVsMax);
  Report(context, "Is", is, "A");
  return context->EL == kLevelPassed ? 0 : 1;
}

uint32_t Vmux(TestContext* context) {
  context->EL = kLevelPassed;
  float a = 0.0f;
  float b = 0.0f;
  int32_t code = Setup(context->handle, kRailMinusChannel);
  if (code == 0) code = Setup(context->handle, kRailPlusChannel);
  if (code == 0) code = ReadFloat(context->handle, AnalogRegister(kRailMinusChannel), &a);
  if (code == 0) code = ReadFloat(context->handle, AnalogRegister(kRailPlusChannel), &b);
  if (code != 0) return FailComm(context, code);
  float vmMinus = static_cast<float>(context->jigValues[kJigScaleVmMinus]) * a;
  float vmPlus = static_cast<float>(context->jigValues[kJigScaleVmPlus]) * b;
  context->EL = JudgeRails(vmPlus, vmMinus, context->Msg, sizeof context->Msg);
  Measure(context, "Vm+", vmPlus, "V", kRailLow, kRailHigh);
  Measure(context, "Vm-", vmMinus, "V", -kRailHigh, -kRailLow);
  return context->EL == kLevelPassed ? 0 : 1;
}

uint32_t TemperatureSensor(TestContext* context) {
  context->EL = kLevelPassed;
  // A problem with this write shows at the next call.
  WriteU16(context->handle, kRegAnalogSetup, 1);
  float tin = 0.0f;
  int32_t code = SetupAndRead(context->handle, kInternalTempChannel, &tin);
  if (code != 0) return FailComm(context, code);
  float tex = 0.0f;
  bool haveJig = (context->mask & kMaskJig) != 0;
  if (haveJig) {
    float volts = 0.0f;
    code = SetupAndRead(context->handle, kExternalTempChannel, &volts);
    if (code != 0) return FailComm(context, code);
    tex = ExternalKelvin(volts);
  }
  bool calibrating = (context->mask & kMaskCalibration) != 0;
  context->EL = JudgeTemperature(tin, haveJig ? &tex : nullptr, calibrating, context->Msg,
                                 sizeof context->Msg);
  Measure(context, "Tin", tin, "K", calibrating ? kTempLowCalibrating : kTempLow,
          calibrating ? kTempHighCalibrating : kTempHigh);
  if (haveJig && calibrating) {
    Measure(context, "Tex", tex, "K", kTempLowCalibrating, kTempHighCalibrating);
  } else if (haveJig) {
    Report(context, "Tex", tex, "K");
  }
  return 0;
}

void AppendSupplyLimits(std::string* text) {
  AppendLimit(text, "supply.VsMin", kVsMin);
  AppendLimit(text, "supply.VsMinCalibrating", kVsMinCalibrating);
  AppendLimit(text, "supply.VsMax", kVsMax);
  AppendLimit(text, "supply.RailLow", kRailLow);
  AppendLimit(text, "supply.RailHigh", kRailHigh);
  AppendLimit(text, "supply.TempLowCalibrating", kTempLowCalibrating);
  AppendLimit(text, "supply.TempHighCalibrating", kTempHighCalibrating);
  AppendLimit(text, "supply.TempLow", kTempLow);
  AppendLimit(text, "supply.TempHigh", kTempHigh);
}
