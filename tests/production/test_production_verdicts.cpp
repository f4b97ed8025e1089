// The verdicts of the production checks, apart from the device: limits at
// their float boundaries, the texts, the packing of the digital lines, and
// the decoding and judging of stream blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "harness/context.h"
#include "platform/byte_order.h"
#include "production/dac_test.h"
#include "production/dio_tests.h"
#include "production/settings_tests.h"
#include "production/stream_tests.h"
#include "production/supply_checks.h"

namespace {

float Up(float v) { return std::nextafter(v, 1e9f); }

struct Verdict {
  const char* name;
  uint32_t level;
  const char* msg;
};

void Expect(const Verdict& want, uint32_t level, const char* msg) {
  EXPECT_EQ(level, want.level) << want.name;
  EXPECT_STREQ(msg, want.msg) << want.name;
}

TEST(SupplyVerdict, LimitsAtTheirFloatsAndTexts) {
  struct Case {
    float vs;
    bool calibrating;
    Verdict want;
  };
  const Case cases[] = {
      {4.2f, false, {"4.2 is 4.19999981", 5, "Vs too low: 4.200"}},
      {Up(4.2f), false, {"4.20000029", 2, "Vs: 4.200V, Is: 0.153A"}},
      {4.7f, true, {"4.7 is 4.69999981", 5, "Vs too low to Cal: 4.700"}},
      {Up(4.7f), true, {"4.70000029", 2, "Vs: 4.700V, Is: 0.153A"}},
      {4.5f, true, {"4.5 calibrating", 5, "Vs too low to Cal: 4.500"}},
      {4.5f, false, {"4.5 otherwise", 2, "Vs: 4.500V, Is: 0.153A"}},
      {5.5f, true, {"5.5 inclusive", 2, "Vs: 5.500V, Is: 0.153A"}},
      {Up(5.5f), false, {"above 5.5", 5, "Vs too high: 5.500"}},
      {std::nanf(""), false, {"not a number", 5, "Vs not a number: nan"}},
  };
  for (const Case& c : cases) {
    char msg[kTextCapacity];
    uint32_t level = JudgeSupply(c.vs, 0.153f, c.calibrating, msg, sizeof msg);
    Expect(c.want, level, msg);
  }
}

TEST(RailsVerdict, BothRailsJudgedAndShown) {
  struct Case {
    float plus, minus;
    Verdict want;
  };
  const Case cases[] = {
      {14.0f, -11.5f, {"at the limits", 2, "Vm+: 14.000V, Vm-: -11.500V"}},
      {11.5f, -14.0f, {"other limits", 2, "Vm+: 11.500V, Vm-: -14.000V"}},
      {14.1f, -12.0f, {"plus high", 5, "Vm+: 14.100V, Vm-: -12.000V"}},
      {12.0f, -11.4f, {"minus high", 5, "Vm+: 12.000V, Vm-: -11.400V"}},
      {11.0f, -15.0f, {"both out", 5, "Vm+: 11.000V, Vm-: -15.000V"}},
  };
  for (const Case& c : cases) {
    char msg[kTextCapacity];
    Expect(c.want, JudgeRails(c.plus, c.minus, msg, sizeof msg), msg);
  }
}

TEST(TemperatureVerdict, RangesByRunAndTheReadingNamed) {
  struct Case {
    float tin;
    bool haveTex;
    float tex;
    bool calibrating;
    Verdict want;
  };
  const Case cases[] = {
      {305.0f, true, 298.0f, true, {"305.0 passes", 2, "Tin: 305.00K, Tex: 298.00K"}},
      {305.1f, true, 298.0f, true, {"305.1 fails", 5, "Int Temp: 305.10K, 290 to 305 required"}},
      {289.9f, false, 0, true, {"cold", 5, "Int Temp: 289.90K, 290 to 305 required"}},
      {298.4f, true, 306.0f, true, {"external hot", 5, "Ext Temp: 306.00K, 290 to 305 required"}},
      {298.4f, false, 0, true, {"calibrating, no jig", 2, "Tin: 298.40K"}},
      {279.9f, false, 0, false, {"warning only", 3, "Tin: 279.90K"}},
      {315.0f, true, 350.0f, false, {"external not judged", 2, "Tin: 315.00K, Tex: 350.00K"}},
  };
  for (const Case& c : cases) {
    char msg[kTextCapacity];
    uint32_t level =
        JudgeTemperature(c.tin, c.haveTex ? &c.tex : nullptr, c.calibrating, msg, sizeof msg);
    Expect(c.want, level, msg);
  }
  // 77 degrees Fahrenheit at 10 mV each.
  EXPECT_NEAR(ExternalKelvin(0.77f), 298.15f, 1e-3f);
}

TEST(DioVerdict, PackingAndTheShortNamed) {
  const uint8_t allHigh[8] = {0, 0xFF, 0, 0xFF, 0, 0x0F, 0, 0x07};
  EXPECT_EQ(PackDioLines(allHigh), kAllLinesHigh);
  EXPECT_EQ(PackJigLines(allHigh), 0x70FFFu);
  const uint8_t jig[8] = {0x12, 0x34, 0, 0x7F, 0, 0x0F, 0, 0x07};
  EXPECT_EQ(PackJigLines(jig), 0x70F7Fu) << "the first group is not part of it";
  // Bits beyond a group's lines: dropped, so that the C byte's cannot stand
  // in for M lines 20-22 (line 22 is stuck low here).
  const uint8_t unused[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x4F, 0xFF, 0xFB};
  EXPECT_EQ(PackDioLines(unused), 0x3FFFFFu);
  EXPECT_EQ(PackJigLines(unused), 0x30FFFu);

  struct Case {
    uint32_t line;
    uint32_t reading;
    const char* msg;
  };
  const Case cases[] = {
      {3, 0x7FFFFF & ~0x18u, "Possible short DIO#: 3, 4"},
      {3, 0x7FFFFF & ~0x218u, "Possible short DIO#: 3, 9"},
      {0, 0x7FFFFF & ~0x400001u, "Possible short DIO#: 0, 22"},
      {3, 0x7FFFFF, "Possible short DIO#: 3, no partner: read 0x7FFFFF"},
      {5, 0x17FFFDF, "Possible short DIO#: 5, no partner: read 0x17FFFDF"},
  };
  for (const Case& c : cases) {
    char msg[kTextCapacity];
    DescribeShort(c.line, c.reading, msg, sizeof msg);
    EXPECT_STREQ(msg, c.msg);
  }
}

TEST(DacVerdict, WindowsInclusive) {
  EXPECT_TRUE(DacAverageInWindow(kDacLowCode, 0.5));
  EXPECT_TRUE(DacAverageInWindow(kDacLowCode, 0.75));
  EXPECT_FALSE(DacAverageInWindow(kDacLowCode, 0.4999));
  EXPECT_FALSE(DacAverageInWindow(kDacLowCode, 3.7));
  EXPECT_TRUE(DacAverageInWindow(kDacHighCode, 3.625));
  EXPECT_TRUE(DacAverageInWindow(kDacHighCode, 3.875));
  EXPECT_FALSE(DacAverageInWindow(kDacHighCode, 3.8751));
  EXPECT_FALSE(DacAverageInWindow(kDacHighCode, 0.6));
}

// A block as the device sends it, exactly kStreamBlockBytes long.
std::vector<uint8_t> Block(uint32_t count, const std::vector<float>& values) {
  std::vector<uint8_t> bytes(kStreamBlockBytes, 0);
  PutU32BE(bytes.data(), bytes.size(), 0, count);
  for (size_t k = 0; k < values.size() && k < kStreamBlockRoom; ++k) {
    PutF32BE(bytes.data(), bytes.size(), 8 + 4 * k, values[k]);
  }
  return bytes;
}

TEST(StreamVerdict, WholeScansJudgedInOrder) {
  struct Case {
    const char* name;
    uint32_t count;
    std::vector<float> values;
    int status;
  };
  const Case cases[] = {
      {"empty", 0, {}, kStreamPassed},
      {"nearest floats pass", 8, {0.6f, 3.7f, 9, 9, 0.7f, 3.8f, 9, 9}, kStreamPassed},
      {"trailing values not judged", 6, {0.65f, 3.75f, 0, 0, 0, 0}, kStreamPassed},
      {"channel 0 low", 4, {0.59f, 3.75f, 0, 0}, kStreamBadChannel0},
      {"channel 1 high in scan 2", 8, {0.65f, 3.75f, 0, 0, 0.65f, 3.81f, 0, 0}, kStreamBadChannel1},
      {"channel 0 before channel 1", 4, {0.8f, 0.0f, 0, 0}, kStreamBadChannel0},
      {"full block", 100, std::vector<float>(100, 0.65f), kStreamBadChannel1},
      {"claims 101", 101, std::vector<float>(100, 0.65f), kStreamOversizeBlock},
      {"claims 2^32-1", 0xFFFFFFFF, {}, kStreamOversizeBlock},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = Block(c.count, c.values);
    StreamBlock block;
    DecodeStreamBlock(bytes.data(), &block);
    EXPECT_EQ(block.count, c.count) << c.name;
    EXPECT_EQ(JudgeStreamBlock(block), c.status) << c.name;
  }
  EXPECT_STREQ(StreamFailureText(kStreamBadChannel0), "Channel 0, bad value.");
  EXPECT_STREQ(StreamFailureText(kStreamBadChannel1), "Channel 1, bad value.");
}

TEST(SettingsVerdict, FirmwareVersionAndDeviceName) {
  char msg[kTextCapacity];
  EXPECT_EQ(JudgeFirmwareVersion(0.15f, true, msg, sizeof msg), 2u);
  EXPECT_STREQ(msg, "Firmware Version: 0.1500");
  EXPECT_EQ(JudgeFirmwareVersion(0.14f, false, msg, sizeof msg), 3u);
  EXPECT_STREQ(msg, "Firmware Version: 0.1400, 0.1500 Required");
  EXPECT_EQ(JudgeFirmwareVersion(0.14f, true, msg, sizeof msg), 5u);

  struct Case {
    const char* stored;
    int64_t serial;
    bool kept;
  };
  const Case cases[] = {
      {"", 470012345, false},           {"\xFFMy_Z5_2345", 470012345, false},
      {"My_Z5_2345", 470012345, true},  {"Bench_1234", 470011234, true},
      {"Bench_1234", 470012345, false},
  };
  for (const Case& c : cases) {
    uint8_t name[kDeviceNameBytes] = {};
    std::memcpy(name, c.stored, std::strlen(c.stored));
    EXPECT_EQ(NameFitsSerial(name, c.serial), c.kept) << c.stored;
  }
  char name[50];
  BuildDefaultName(470012345, name, sizeof name);
  EXPECT_STREQ(name, "My_Z5_2345");
  BuildDefaultName(470000042, name, sizeof name);
  EXPECT_STREQ(name, "My_Z5_0042");
  EXPECT_EQ(name[49], 0);
}

}  // namespace
