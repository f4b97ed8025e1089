// "AIn Noise 16-bit counts": the converter's peak-to-peak noise on channel 15.
#include <cstdint>

#include "base/text.h"
#include "calibration/calibration_tests.h"
#include "calibration/mean_peak_to_peak.h"
#include "device/register_addresses.h"
#include "device/registers.h"
#include "harness/measure.h"
#include "harness/messages.h"

namespace {

constexpr int kNoiseChannel = 15;
constexpr int32_t kNoiseSettling = kSettlingUsual;
constexpr int kMaxNoiseReadings = 128;

struct NoiseMeasurement {
  int32_t range;
  int32_t resolution;
  int readings;
  double limit;  // counts, peak-to-peak
  const char* format;
  bool hrOnly;
};

constexpr NoiseMeasurement kNoiseMeasurements[] = {
    {0, 1, 128, 12.0, "%.01f,", false}, {3, 1, 128, 110.0, "%.01f,", false},
    {0, 8, 128, 1.2, "%.02f,", false},  {3, 8, 128, 15.0, "%.02f", false},
    {0, 12, 16, 0.37, ",%.02f,", true}, {3, 12, 16, 8.0, "%.02f", true},
};

}  // namespace

uint32_t AInNoiseTest(TestContext* context) {
  context->EL = kLevelPassed;
  char text[kTextCapacity];
  TextCopy(text, "Noise: ");
  for (const NoiseMeasurement& m : kNoiseMeasurements) {
    if (m.hrOnly && context->isMax == 0) continue;
    int32_t code = ConfigureChannel(context->handle, kNoiseChannel, m.range, m.resolution,
                                    kSingleEnded, kNoiseSettling);
    if (code != 0) return FailComm(context, code);
    uint32_t samples[kMaxNoiseReadings];
    for (int i = 0; i < m.readings; ++i) {
      code = ReadU32(context->handle, kRegAnalogRaw + 2 * kNoiseChannel, &samples[i]);
      // A failed reading is never judged as noise.
      if (code != 0) return FailComm(context, code);
    }
    double spread = 0.0;
    MeanPeakToPeak(samples, m.readings, &spread);
    spread /= 256.0;
    if (spread > m.limit) context->EL = kLevelFatal;
    char name[kPieceCapacity];
    TextFormat(name, sizeof name, "Noise range %d resolution %d", static_cast<int>(m.range),
               static_cast<int>(m.resolution));
    Measure(context, name, spread, "counts", kNoLimit, m.limit);
    char piece[kPieceCapacity];
    TextFormat(piece, sizeof piece, m.format, spread);
    TextAppend(text, piece);
  }
  TextCopy(context->Msg, text);
  return 0;
}

void AppendNoiseLimits(std::string* text) {
  for (const NoiseMeasurement& m : kNoiseMeasurements) AppendLimit(text, "noise.Limit", m.limit);
}
