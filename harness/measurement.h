// What a test leaves for the run's record besides its verdict: the numbers it
// read or computed, where a failure came from, and what it learnt of the
// device's identity. Nothing here is shown on the console or sent anywhere.
#pragma once

#include <cstdint>
#include <limits>
#include <string>

// A missing limit.
constexpr double kNoLimit = std::numeric_limits<double>::quiet_NaN();

// The outcome a test gave one of its numbers.
enum MeasurementOutcome : int8_t {
  kOutcomeNone = -1,  // a number only reported
  kOutcomeFail = 0,
  kOutcomePass = 1,
};

struct Measurement {
  std::string name;
  double value = 0.0;
  std::string unit;
  double low = kNoLimit;  // NaN: no limit on that side
  double high = kNoLimit;
  MeasurementOutcome outcome = kOutcomeNone;
};

// Where the failure of the test just run came from; the record's cause is
// made of it (CauseName). A test that fails without naming another source
// gave a verdict on the device.
enum FailureSource : uint8_t {
  kSourceDevice = 0,
  kSourceLink = 1,        // the device link: library, socket, a dropped link
  kSourceInstrument = 2,  // the bench meter
  kSourceServer = 3,      // the test server
  kSourceStation = 4,     // a refused argument, a file, an internal error
  kSourceAborted = 5,     // a stop request met the test
};

// What the run learnt of the device under test; unknown values stay as they
// are here (0, empty, NaN).
struct RecordedIdentity {
  bool editionKnown = false;  // the opening test identified the device
  bool hasMac = false;
  uint64_t mac = 0;
  bool hasName = false;
  std::string name;
  double firmware = kNoLimit;    // NaN: not read
  double bootloader = kNoLimit;  // NaN: not read
  bool jigRead = false;          // jigType, jigCode and jigValues hold the jig's data
};
