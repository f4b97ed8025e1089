#include "production/dac_test.h"

#include "base/text.h"
#include "device/register_addresses.h"
#include "device/registers.h"
#include "harness/messages.h"

namespace {

struct Phase {
  uint32_t code[2];  // DAC0, DAC1
  const char* label[2];
};

const Phase kPhases[2] = {
    {{kDacLowCode, kDacHighCode}, {"DAC0 0x2000 Error: ", "DAC1 0xC000 Error: "}},
    {{kDacHighCode, kDacLowCode}, {"DAC0 0xC000 Error: ", "DAC1 0x2000 Error: "}},
};

// The mean of the readings, summed in double.
double Average(const float* readings, int n) {
  double sum = 0.0;
  for (int i = 0; i < n; ++i) sum += readings[i];
  return sum / n;
}

}  // namespace

bool DacAverageInWindow(uint32_t code, double average) {
  if (code == kDacLowCode) return average >= 0.5 && average <= 0.75;
  return average >= 3.625 && average <= 3.875;
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
      double average = Average(readings[dac], kDacReadings);
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
