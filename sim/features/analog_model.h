// The virtual device's analog front end, without registers or wiring: each
// device's true converter slopes and centers, DAC slopes and offsets and
// current-source values (drawn from a seed, off nominal as real parts are),
// what a converter makes of a voltage, its noise, and how the firmware turns
// counts into volts with the calibration record in its own flash.
//
// The record is decoded here on its own, not with the station's encoder, so a
// disagreement about the layout shows as wrong readings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

namespace qxsim {

constexpr int kAnalogRanges = 4;  // 0: +-10 V, 1: +-1 V, 2: +-0.1 V, 3: +-0.01 V
constexpr int kConverters = 2;    // 0: HS; 1: HR, "-Max" edition only
constexpr int kFirstHrResolution = 9;
constexpr double kNominalCenterCounts = 33523.0;
constexpr double kMaxCounts = 65535.0;
constexpr size_t kCalValues = 41;
constexpr uint32_t kCalPageAddress = 0x3C4000;

// One converter on one range, as built.
struct ConverterTruth {
  double posSlope;  // volts per count above the center
  double negSlope;  // volts per count below the center (negative)
  double center;    // counts at zero input
};

struct AnalogTruth {
  ConverterTruth adc[kConverters][kAnalogRanges];
  double dacSlope[2];   // codes per volt
  double dacOffset[2];  // codes
  double source10uA;    // amperes
  double source200uA;
  double biasCurrent;
};

// How far a device is from nominal: relative slope spread, center spread in
// counts; scale 1 gives about +-1-2 % and +-150 counts (a third of that on
// the HS +-10 V range and for the DACs).
struct AnalogSpread {
  double slope = 0.015;
  double center = 150.0;
  double scale = 1.0;
};

// The same seed always gives the same device.
AnalogTruth MakeAnalogTruth(uint32_t seed, const AnalogSpread& spread = AnalogSpread());

// The converter of a channel configured with this resolution index.
int ConverterFor(int resolution, bool isMax);

// Fractional counts (0..65535) for a differential input voltage.
double CountsFromVolts(const ConverterTruth& truth, double volts);
// The raw register value: counts x 256, rounded and kept within 16-bit counts.
uint32_t RawFromCounts(double counts);

// Standard deviation of one reading's noise, in counts.
double NoiseSigmaCounts(int range, int resolution, bool isMax);

// The constants the firmware works with: the record in the calibration page,
// or the nominal values while the page is blank (first byte 0xFF).
void CalValuesFromPage(const uint8_t* record, float* values);
// The nominal values, as the firmware carries them.
const float* NominalCalValues();

// The firmware's calibrated reading in volts for counts on a range.
double VoltsFromCounts(const float* values, int converter, int range, double counts);
// The internal temperature in kelvin from the sensor's voltage.
double KelvinFromSensorVolts(const float* values, double volts);
// The sensor voltage that reads as kelvin with the nominal constants.
double SensorVoltsForKelvin(double kelvin);

// A reading's noise, in counts.
class AnalogNoise {
 public:
  explicit AnalogNoise(uint32_t seed) : random_(seed) {}
  double Counts(double sigma) {
    std::normal_distribution<double> normal(0.0, sigma);
    return sigma > 0 ? normal(random_) : 0.0;
  }

 private:
  std::mt19937 random_;
};

}  // namespace qxsim
