// The measurement call, the causes of failures, SHA-256 and the fingerprint
// of the compiled-in limits.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "base/sha256.h"
#include "harness/measure.h"
#include "station/station_table.h"

TEST(MeasureTest, AWindowIsInclusiveAndOnlyFiniteNumbersAreKept) {
  struct Case {
    double value, low, high;
    MeasurementOutcome outcome;  // kOutcomeNone with kept false: not recorded
    bool kept;
  };
  const double nan = std::nan("");
  const Case cases[] = {
      {4.7, 4.7, 5.5, kOutcomePass, true},
      {5.5, 4.7, 5.5, kOutcomePass, true},
      {4.69, 4.7, 5.5, kOutcomeFail, true},
      {5.51, 4.7, 5.5, kOutcomeFail, true},
      {1e9, 0.15, kNoLimit, kOutcomePass, true},
      {12.1, kNoLimit, 12.0, kOutcomeFail, true},
      {3.0, kNoLimit, kNoLimit, kOutcomeNone, true},
      {nan, 4.7, 5.5, kOutcomeFail, false},
      {INFINITY, kNoLimit, kNoLimit, kOutcomeNone, false},
  };
  for (const Case& c : cases) {
    TestContext context;
    const bool inside = Measure(&context, "x", c.value, "V", c.low, c.high);
    EXPECT_EQ(c.outcome != kOutcomeFail, inside) << c.value;
    ASSERT_EQ(c.kept ? 1u : 0u, context.measurements.size()) << c.value;
    if (!c.kept) continue;
    const Measurement& m = context.measurements[0];
    EXPECT_EQ(c.outcome, m.outcome) << c.value;
    EXPECT_EQ(c.value, m.value);
    EXPECT_EQ(std::isnan(c.low), std::isnan(m.low));
  }
  // The test's own verdict stands, whatever the window says.
  TestContext context;
  MeasureJudged(&context, "strict", 5.0, "V", 0.0, 5.0, false);
  Report(&context, "plain", 2.0, "");
  ASSERT_EQ(2u, context.measurements.size());
  EXPECT_EQ(kOutcomeFail, context.measurements[0].outcome);
  EXPECT_EQ(kOutcomeNone, context.measurements[1].outcome);
}

TEST(MeasureTest, EachSourceAndStatusGivesItsCause) {
  struct Case {
    uint32_t status;
    FailureSource source;
    bool stopped;
    const char* cause;  // null: none
  };
  const Case cases[] = {
      {kLevelPassed, kSourceLink, false, nullptr},
      {kLevelNotRun, kSourceDevice, false, nullptr},
      {kLevelFatal, kSourceDevice, false, "device"},
      {kLevelWarning, kSourceDevice, false, "device"},
      {kLevelFatal, kSourceLink, false, "link"},
      {kLevelError, kSourceInstrument, false, "instrument"},
      {kLevelFatal, kSourceServer, false, "server"},
      {kLevelFatal, kSourceStation, false, "station"},
      {kLevelFatal, kSourceAborted, false, "aborted"},
      {kLevelFatal, kSourceLink, true, "aborted"},
      {kLevelRunning, kSourceDevice, false, "aborted"},
      {kLevelPassed, kSourceLink, true, nullptr},
  };
  for (const Case& c : cases) {
    const char* cause = CauseName(c.status, c.source, c.stopped);
    EXPECT_EQ(std::string(c.cause != nullptr ? c.cause : "-"),
              std::string(cause != nullptr ? cause : "-"))
        << c.status << " " << int{c.source};
  }
}

TEST(Sha256Test, TheStandardsVectorsAndPiecewiseInput) {
  EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", Sha256Hex(""));
  EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Sha256Hex("abc"));
  EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
            Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
  // A million 'a' in uneven pieces crosses every block boundary.
  Sha256 sha;
  const std::string piece(997, 'a');
  size_t left = 1000000;
  while (left > 0) {
    const size_t n = left < piece.size() ? left : piece.size();
    sha.Update(piece.data(), n);
    left -= n;
  }
  EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0", sha.HexDigest());
}

TEST(LimitsFingerprintTest, EveryTableIsInTheTextAtFullPrecision) {
  const std::string text = LimitsText();
  for (const char* line : {"supply.VsMax=5.5\n", "supply.VsMinCalibrating=4.7000000000000002\n",
                           "dac.LowWindow[1]=0.75\n", "stream.Channel1[0]=3.7000000000000002\n",
                           "firmware.Minimum=0.14999999999999999\n", "clock.Tolerance=5\n",
                           "cal.HS 10.0V PSlope.nominal=0.00031580577999999998\n",
                           "cal.I Bias.tolerance=1\n", "noise.Limit=0.37\n", "jig.Type=6\n"}) {
    EXPECT_NE(std::string::npos, text.find(line)) << line;
  }
  EXPECT_EQ(Sha256Hex(text), LimitsFingerprint());
  // One limit moved by its last digit moves the fingerprint.
  std::string moved = text;
  moved.replace(moved.find("supply.VsMax=5.5"), 16, "supply.VsMax=5.5000000000000009");
  EXPECT_NE(Sha256Hex(moved), LimitsFingerprint());
}
