#include "production/dac_test.h"

#include "base/text.h"
#include "device/register_addresses.h"
#include "device/registers.h"
#include "harness/measure.h"
#include "harness/messages.h"

namespace {

struct Phase {
  uint32_t code[2];  // DAC0, DAC1
  const char* label[2];
  const char* name[2];  // the record's names of the two averages
};

const Phase kPhases[2] = {
    {{kDacLowCode, kDacHighCode},
     {"DAC0 0x2000 Error: ", "DAC1 0xC000 Error: "},
     {"DAC0 0x2000", "DAC1 0xC000"}},
    {{kDacHighCode, kDacLowCode},
     {"DAC0 0xC000 Error: ", "DAC1 0x2000 Error: "},
     {"DAC0 0xC000", "DAC1 0x2000"}},
};

// The mean of the readings, summed in double.
double Average(const float* readings, int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += readings[i];
  return sum / n;
}

// The window of a DAC's average, in volts, by its code.
constexpr double kDacLowWindow[2] = {0.5, 0.75};
constexpr double kDacHighWindow[2] = {3.625, 3.875};

const double* DacWindow(uint32_t code) {
  return code == kDacLowCode ? kDacLowWindow : kDacHighWindow;
}

}  // namespace

bool DacAverageInWindow(uint32_t code, double average) {
  const double* window = DacWindow(code);
  return average >= window[0] && average <= window[1];
}

uint32_t DacTest(TestContext* context) {
  context->EL = kLevelPassed;
  const int h = context->handle;
  int32_t code = ConfigureUsualChannel(h, 0);
  if (code == 0) code = ConfigureUsualChannel(h, 1);
  if (code != 0) return FailComm(context, code);
  float readings[2][kDacReadings] = {};
  for (const Phase& phase : kPhases) {
    code = WriteU32(h, kRegDac0, phase.code[0]);
    if (code == 0) code = WriteU32(h, kRegDac1, phase.code[1]);
    for (int i = 0; code == 0 && i < kDacReadings; ++i) {
      code = ReadFloat(h, kRegAnalogInput, &readings[0][i]);
      if (code == 0) code = ReadFloat(h, kRegAnalogInput + 2, &readings[1][i]);
    }
    if (code != 0) return FailComm(context, code);
    for (int dac = 0; dac < 2; ++dac) {
      char name[kPieceCapacity];
      for (int i = 0; i < kDacReadings; ++i) {
        TextFormat(name, sizeof name, "%s reading %d", phase.name[dac], i + 1);
        Report(context, name, readings[dac][i], "V");
      }
    }
    for (int dac = 0; dac < 2; ++dac) {
      double average = Average(readings[dac], kDacReadings);
      const double* window = DacWindow(phase.code[dac]);
      MeasureJudged(context, phase.name[dac], average, "V", window[0], window[1],
                    DacAverageInWindow(phase.code[dac], average));
      if (DacAverageInWindow(phase.code[dac], average)) continue;
      char piece[kPieceCapacity];
      TextFormat(piece, sizeof piece, "%.03f, ", average);
      TextCopy(context->Msg, phase.label[dac]);
      TextAppend(context->Msg, piece);
      context->EL = kLevelFatal;
      return 0;
    }
  }
  return Finish(context, kLevelPassed, "All tests passed.");
}

void AppendDacLimits(std::string* text) {
  AppendLimits(text, "dac.LowWindow", kDacLowWindow, 2);
  AppendLimits(text, "dac.HighWindow", kDacHighWindow, 2);
}
