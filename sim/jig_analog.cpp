#include "sim/jig_analog.h"

namespace qxsim {

double PinVolts(const AnalogTruth& truth, const JigAnalog& jig, const AnalogFaults& faults,
                const AnalogDrive& drive, int channel) {
  switch (channel) {
    case 0:
    case 1:  // DAC0 and DAC1 looped back
      return (drive.dacCode[channel] - truth.dacOffset[channel]) / truth.dacSlope[channel];
    case 4:  // bias current through its resistor
      return truth.biasCurrent * jig.values[5];
    case 5: {  // external sensor: 10 mV per degree Fahrenheit
      const double fahrenheit = (jig.externalKelvin - 273.15) * 9.0 / 5.0 + 32.0;
      return fahrenheit / 100.0;
    }
    case 6:  // the supply, ahead of its sense resistor
      return jig.supplyVolts;
    case 7:  // behind the sense resistor
      return jig.supplyVolts - jig.supplyAmps * jig.values[4];
    case 8:
      return drive.line5Low ? drive.sourceVolts * kJigAttenuatorRatio : drive.sourceVolts;
    case 10: {
      const double amps = faults.deadCurrentSource ? 0.0 : truth.source10uA;
      return amps * jig.values[3] * (1.0 + faults.resistor10uAError);
    }
    case 11:
      return truth.source200uA * jig.values[2];
    case 12:  // the rails through the jig's dividers
      return jig.railNegative / jig.values[1];
    case 13:
      return jig.railPositive / jig.values[0];
    case 14:  // the internal sensor, read back in kelvin by the firmware
      return SensorVoltsForKelvin(jig.internalKelvin);
    default:  // 2, 3, 9 grounded; 15 the reference
      return 0.0;
  }
}

double InputVolts(const AnalogTruth& truth, const JigAnalog& jig, const AnalogFaults& faults,
                  const AnalogDrive& drive, int channel, int negativeChannel) {
  if (channel < 0 || channel >= kAnalogChannels) return 0.0;
  const double positive = PinVolts(truth, jig, faults, drive, channel);
  if (negativeChannel < 0 || negativeChannel >= kAnalogChannels) return positive;
  return positive - PinVolts(truth, jig, faults, drive, negativeChannel);
}

double DriftedSource(double setVolts, const AnalogFaults& faults, double seconds) {
  return setVolts * (1.0 + faults.sourceDriftPerSecond * seconds);
}

}  // namespace qxsim
