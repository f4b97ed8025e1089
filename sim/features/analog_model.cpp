#include "sim/features/analog_model.h"

#include <cmath>
#include <cstring>

namespace qxsim {

namespace {

constexpr double kNominalSlope[kAnalogRanges] = {0.00031580578, 3.1580578e-05, 3.158058e-06,
                                                 3.15806e-07};
constexpr double kNominalDacSlope = 13200.0;
// Share of the spread for the HS +-10 V range and the DACs.
constexpr double kWideRangeShare = 0.3;
constexpr double kNominalDacOffset = 100.0;
constexpr double kNominalTempSlope = -92.379;
constexpr double kNominalTempOffset = 465.129215;

// Noise sigma in counts by range: fast resolutions (0, 1), the other HS
// resolutions, and the HR converter. Well inside what a good part shows.
constexpr double kSigmaFast[kAnalogRanges] = {0.5, 0.8, 1.6, 4.5};
constexpr double kSigmaHs[kAnalogRanges] = {0.05, 0.08, 0.16, 0.6};
constexpr double kSigmaHr[kAnalogRanges] = {0.015, 0.03, 0.08, 0.3};

// Record layout: 4 values per converter range (positive slope, negative
// slope, center, offset); HR from 16; then DACs, temperature, sources.
constexpr size_t kHrBase = 16;
constexpr size_t kTempSlope = 36;
constexpr size_t kTempOffset = 37;

float BigEndianFloat(const uint8_t* p) {
  const uint32_t bits = (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
                        (static_cast<uint32_t>(p[2]) << 8) | p[3];
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The firmware's own copy of the nominal constants, used while the
// calibration page is blank.
// clang-format off
constexpr float kNominalValues[kCalValues] = {
    0.00031580578f, -0.0003158058f, 33523.0f, -10.586956522f,  // HS +-10 V
    3.1580578e-05f, -3.15806e-05f,  33523.0f, -1.0586956522f,  // HS +-1 V
    3.158058e-06f,  -3.1581e-06f,   33523.0f, -0.1058695652f,  // HS +-0.1 V
    3.15806e-07f,   -3.158e-07f,    33523.0f, -0.0105869565f,  // HS +-0.01 V
    0.00031580578f, -0.0003158058f, 33523.0f, -10.586956522f,  // HR
    3.1580578e-05f, -3.15806e-05f,  33523.0f, -1.0586956522f,
    3.158058e-06f,  -3.1581e-06f,   33523.0f, -0.1058695652f,
    3.15806e-07f,   -3.158e-07f,    33523.0f, -0.0105869565f,
    13200.0f, 100.0f, 13200.0f, 100.0f,  // DAC0, DAC1
    -92.379f, 465.129215f,               // temperature
    1e-05f, 0.0002f, 2e-08f,             // sources, bias
};
// clang-format on

}  // namespace

AnalogTruth MakeAnalogTruth(uint32_t seed, const AnalogSpread& spread) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  // At least half the spread, so that no device is nominal by chance.
  auto off = [&](double size) {
    const double u = unit(random);
    return size * spread.scale * (u < 0 ? u - 0.5 : u + 0.5) / 1.5;
  };
  AnalogTruth truth{};
  for (int c = 0; c < kConverters; ++c) {
    for (int r = 0; r < kAnalogRanges; ++r) {
      // The HS +-10 V range is what the production checks (supply, rails,
      // DAC windows) read before any calibration: a part that far off
      // would not reach the calibration station.
      const double narrow = c == 0 && r == 0 ? kWideRangeShare : 1.0;
      ConverterTruth& t = truth.adc[c][r];
      t.posSlope = kNominalSlope[r] * (1.0 + off(spread.slope * narrow));
      t.negSlope = -kNominalSlope[r] * (1.0 + off(spread.slope * narrow));
      t.center = kNominalCenterCounts + off(spread.center * narrow);
    }
  }
  for (int d = 0; d < 2; ++d) {
    truth.dacSlope[d] = kNominalDacSlope * (1.0 + off(spread.slope * kWideRangeShare));
    truth.dacOffset[d] = kNominalDacOffset + off(30.0);
  }
  truth.source10uA = 1e-05 * (1.0 + off(0.005));
  truth.source200uA = 0.0002 * (1.0 + off(0.005));
  truth.biasCurrent = 2e-08 * (1.0 + off(0.3));
  return truth;
}

int ConverterFor(int resolution, bool isMax) {
  return isMax && resolution >= kFirstHrResolution ? 1 : 0;
}

double CountsFromVolts(const ConverterTruth& truth, double volts) {
  double counts =
      volts >= 0 ? truth.center + volts / truth.posSlope : truth.center + volts / -truth.negSlope;
  if (!(counts >= 0.0)) counts = 0.0;  // NaN too
  if (counts > kMaxCounts) counts = kMaxCounts;
  return counts;
}

uint32_t RawFromCounts(double counts) {
  if (!(counts >= 0.0)) counts = 0.0;
  if (counts > kMaxCounts) counts = kMaxCounts;
  return static_cast<uint32_t>(std::lround(counts * 256.0));
}

double NoiseSigmaCounts(int range, int resolution, bool isMax) {
  if (range < 0 || range >= kAnalogRanges) range = 0;
  if (ConverterFor(resolution, isMax) == 1) return kSigmaHr[range];
  return resolution <= 1 ? kSigmaFast[range] : kSigmaHs[range];
}

const float* NominalCalValues() { return kNominalValues; }

void CalValuesFromPage(const uint8_t* record, float* values) {
  if (record[0] == 0xFF) {
    std::memcpy(values, NominalCalValues(), kCalValues * sizeof(float));
    return;
  }
  for (size_t i = 0; i < kCalValues; ++i) values[i] = BigEndianFloat(record + 4 * i);
}

double VoltsFromCounts(const float* values, int converter, int range, double counts) {
  const float* v = values + converter * kHrBase + 4 * range;
  const double center = v[2];
  return counts >= center ? (counts - center) * v[0] : (counts - center) * -v[1];
}

double KelvinFromSensorVolts(const float* values, double volts) {
  return volts * values[kTempSlope] + values[kTempOffset];
}

double SensorVoltsForKelvin(double kelvin) {
  return (kelvin - kNominalTempOffset) / kNominalTempSlope;
}

}  // namespace qxsim
