// The device's features and the jig, in-process through the register map:
// the DIO lines' single and group views over one line state, the jig's bus,
// code lines and source with its attenuator, the device clock on the bench's
// clock, the configuration page behind the identity, and the lock that
// refuses a handler calling back into the device.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "server/server_tests.h"
#include "sim/bench.h"
#include "sim/options.h"
#include "tests/support/command_line.h"

namespace {

class FeaturesTest : public ::testing::Test {
 protected:
  uint16_t Read1(uint16_t address) {
    uint16_t v = 0xDEAD;
    EXPECT_EQ(device().ReadRegisters(address, 1, &v), 0) << address;
    return v;
  }
  void Write1(uint16_t address, uint16_t value) {
    EXPECT_EQ(device().WriteRegisters(address, 1, &value), 0) << address;
  }
  // The packed reading of the four group level registers, as the station
  // forms it: byte 1 + byte 3 << 8 + byte 5 << 16 + byte 7 << 20.
  uint32_t Levels() {
    uint16_t g[4] = {};
    EXPECT_EQ(device().ReadRegisters(qxsim::kSimDioGroupLevelRegister, 4, g), 0);
    return (g[0] & 0xFFu) | (g[1] & 0xFFu) << 8 | (g[2] & 0xFFu) << 16 | (g[3] & 0xFFu) << 20;
  }
  void SetSource(float volts) {
    uint32_t bits;
    std::memcpy(&bits, &volts, sizeof bits);
    uint16_t words[2] = {static_cast<uint16_t>(bits >> 16), static_cast<uint16_t>(bits)};
    ASSERT_EQ(device().WriteRegisters(qxsim::kJigSourceRegister, 2, words), 0);
  }
  std::vector<uint8_t> DataBlock() {
    uint16_t regs[qxsim::kSimJigDataRegisters];
    EXPECT_EQ(device().ReadRegisters(qxsim::kSimJigDataRegister, 18, regs), 0);
    std::vector<uint8_t> bytes;
    for (uint16_t r : regs) {
      bytes.push_back(static_cast<uint8_t>(r >> 8));
      bytes.push_back(static_cast<uint8_t>(r));
    }
    return bytes;
  }
  qxsim::VirtualDevice& device() { return bench_->device(); }

  std::unique_ptr<qxsim::Bench> bench_ = std::make_unique<qxsim::Bench>();
};

TEST_F(FeaturesTest, DioSingleAndGroupViewsShareOneLineState) {
  // Without a jig every input floats high.
  qxsim::BenchOptions options;
  options.jig.present = false;
  bench_ = std::make_unique<qxsim::Bench>(options);
  EXPECT_EQ(Levels(), 0x7FFFFFu);

  // 2000 + i = 0 makes line i the only output, driven low, in either view.
  Write1(2000 + 9, 0);
  EXPECT_EQ(Levels(), 0x7FFFFFu & ~(1u << 9));
  EXPECT_EQ(Read1(2551 - 1), 0u) << "first group: no outputs";
  EXPECT_EQ(Read1(2551), 0x02u) << "E group: line 9 is its bit 1";
  EXPECT_EQ(Read1(2100 + 9), 1u);
  EXPECT_EQ(Read1(2000 + 9), 0u);

  // Clearing the four direction registers in one record: all inputs again.
  const uint16_t zeros[4] = {};
  ASSERT_EQ(device().WriteRegisters(qxsim::kSimDioGroupDirectionRegister, 4, zeros), 0);
  EXPECT_EQ(Levels(), 0x7FFFFFu);

  // Group writes: C lines 0 and 2 outputs, low; then high.
  Write1(2552, 0x05);
  Write1(2502, 0x00);
  EXPECT_EQ(Read1(2502), 0x0Au);
  EXPECT_EQ(Read1(2100 + 16), 1u);
  EXPECT_EQ(Read1(2100 + 17), 0u);
  Write1(2502, 0x05);
  EXPECT_EQ(Levels(), 0x7FFFFFu);
  // A level written to an input waits in the latch until it becomes an output.
  Write1(2503, 0x00);
  Write1(2553, 0x04);
  EXPECT_EQ(Read1(2503), 0x03u);

  // Power-on: all inputs again.
  device().PowerOn();
  EXPECT_EQ(Levels(), 0x7FFFFFu);
}

TEST_F(FeaturesTest, JigCodeLinesShowInTheFirstGroupUnlessTheDeviceDrivesThem) {
  qxsim::JigSettings jig;
  jig.code = 0x09;
  bench_->SetJig(jig);
  EXPECT_EQ(Read1(2500) & 0x1F, 0x09) << "the station masks the code with 31";
  EXPECT_EQ(Read1(2500) >> 5, 0x07) << "lines 5-7 are not the jig's";
  Write1(2000 + 0, 0);  // the device drives a code line: its own level wins
  EXPECT_EQ(Read1(2500) & 0x1F, 0x08);
  jig.present = false;
  bench_->SetJig(jig);
  device().PowerOn();
  EXPECT_EQ(Read1(2500) & 0x1F, 0x1F) << "no jig: the code lines float high";
}

TEST_F(FeaturesTest, JigBusAnswersOnlyAfterItsSetup) {
  qxsim::JigSettings jig;
  jig.code = 9;
  const double values[6] = {4.1, 3.9, 10010.0, 99900.0, 0.12, 1.01e6};
  std::memcpy(jig.values, values, sizeof values);
  bench_->SetJig(jig);
  EXPECT_EQ(DataBlock(), std::vector<uint8_t>(36, 0xFF));
  uint16_t setup[11] = {0x0007, 0x0006, 0, 0, 0x00A1, 0, 0, 0, 0x0001, 0x0020, 0};
  ASSERT_EQ(device().WriteRegisters(qxsim::kSimJigSetupRegister, 11, setup), 0);
  EXPECT_EQ(DataBlock(), std::vector<uint8_t>(36, 0xFF)) << "a wrong set-up gets nothing";

  setup[4] = 0x00A0;
  ASSERT_EQ(device().WriteRegisters(qxsim::kSimJigSetupRegister, 11, setup), 0);
  std::vector<uint8_t> block = DataBlock();
  EXPECT_EQ(block[5], 9);
  EXPECT_EQ(block[7], 6);
  const size_t floats[6] = {1, 2, 3, 5, 6, 7};
  for (int i = 0; i < 6; ++i) {
    const uint8_t* p = block.data() + 4 + 4 * floats[i];
    uint32_t bits = static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
    float f;
    std::memcpy(&f, &bits, sizeof f);
    EXPECT_EQ(f, static_cast<float>(values[i])) << i;
  }
  jig.present = false;
  bench_->SetJig(jig);
  EXPECT_EQ(DataBlock(), std::vector<uint8_t>(36, 0xFF));
}

TEST_F(FeaturesTest, TheMeterSeesTheSourceAttenuatedOnlyWhileLineFiveIsDrivenLow) {
  qxsim::MeterInput meter = bench_->meterInput();
  EXPECT_EQ(meter(), 0.0) << "a fresh device's source is 0 V";
  SetSource(1.76f);
  Write1(2100 + 5, 1);  // line 5 an output, high: the direct path
  Write1(2000 + 5, 1);
  EXPECT_NEAR(meter(), 1.76, 1e-6);
  Write1(2000 + 5, 0);  // low: the attenuated path
  EXPECT_NEAR(meter(), 1.76 / 22.0, 1e-7);
  EXPECT_NEAR(qxsim::JigMeterVolts(-0.176, true), -0.008, 1e-12);
  Write1(2100 + 5, 0);  // an input, whatever its latch: not driven
  EXPECT_NEAR(meter(), 1.76, 1e-6);
  Write1(2000 + 4, 0);  // another line does not switch the attenuator
  EXPECT_NEAR(meter(), 1.76, 1e-6);
  SetSource(std::nanf(""));
  EXPECT_EQ(meter(), 0.0) << "a source that is not a number is 0 V";
  SetSource(-8.0f);
  device().PowerOn();
  EXPECT_EQ(meter(), 0.0) << "the source drops with the device's power";
}

TEST_F(FeaturesTest, DeviceClockRunsOnTheBenchClockWithItsOffsetAndCanBeSet) {
  platform::FakeClock clock(1000, 2200000000);
  qxsim::BenchOptions options;
  options.device.simClock = &clock;
  options.device.clock.offsetSeconds = -7;
  bench_ = std::make_unique<qxsim::Bench>(options);
  EXPECT_EQ(device().ReadU32(qxsim::kSimClockRegister), 2199999993u);
  clock.Advance(3000);
  EXPECT_EQ(device().ReadU32(qxsim::kSimClockRegister), 2199999996u);
  Write1(qxsim::kSimClockSetRegister, 0x1234);
  EXPECT_EQ(device().ReadU32(qxsim::kSimClockRegister), 2199999996u) << "half a value sets nothing";
  Write1(qxsim::kSimClockSetRegister + 1, 0x5678);
  EXPECT_EQ(device().ReadU32(qxsim::kSimClockRegister), 0x12345678u);
  clock.Advance(2000);
  EXPECT_EQ(device().ReadU32(qxsim::kSimClockRegister), 0x1234567Au);

  // By default the bench reads the clock in force, as the station does.
  platform::FakeClock station(1000, 1700000000);
  platform::ScopedClock scoped(&station);
  bench_ = std::make_unique<qxsim::Bench>();
  EXPECT_EQ(device().ReadU32(qxsim::kSimClockRegister), 1700000000u);
  platform::SleepMs(5000);
  EXPECT_EQ(device().ReadU32(qxsim::kSimClockRegister), 1700000005u);
}

TEST(IdentityTest, IdentityFollowsTheStationsConfigurationRecords) {
  std::vector<uint8_t> page(4096, 0xFF);
  EXPECT_EQ(qxsim::SerialFromConfigPage(page.data()), 0xFFFFFFFFu);
  EXPECT_EQ(qxsim::MacFromConfigPage(page.data()), 0xFFFFFFFFFFFFu) << "erased, as it reads";
  page[0x14] = 0x12;  // a record without its zero bytes: the default
  EXPECT_EQ(qxsim::MacFromConfigPage(page.data()), 0x027C4B002000u);
  uint8_t serialRecord[12];
  uint8_t macRecord[8];
  BuildSerialRecord(470010123, serialRecord);
  BuildMacRecord(0x027C4B0020A5, macRecord);
  std::memcpy(page.data(), serialRecord, 12);
  std::memcpy(page.data() + 0x14, macRecord, 8);
  EXPECT_EQ(qxsim::SerialFromConfigPage(page.data()), 470010123u);
  EXPECT_EQ(qxsim::MacFromConfigPage(page.data()), 0x027C4B0020A5u);
  page[3] = 0x7C;  // a damaged header: no serial number
  EXPECT_EQ(qxsim::SerialFromConfigPage(page.data()), 0xFFFFFFFFu);
}

TEST(DeviceLockTest, AHandlerThatCallsBackIntoTheDeviceIsRefusedNotDeadlocked) {
  qxsim::VirtualDevice device;
  device.Install([&device](qxsim::RegisterMap& map, qxsim::DeviceCore&) {
    map.Map(100, 1,
            std::make_shared<qxsim::FunctionRegisters>(
                [&device](uint16_t, size_t, uint16_t* values) {
                  return device.ReadRegisters(60000, 1, values);
                },
                nullptr));
  });
  uint16_t v = 0;
  EXPECT_THROW(device.ReadRegisters(100, 1, &v), std::logic_error);
  EXPECT_EQ(device.ReadRegisters(60000, 1, &v), 0) << "the lock was given back";
}

TEST(JigAndClockOptionsTest, ParseTheirOptions) {
  qxsim::JigSettings jig;
  qxsim::ClockSettings clock;
  cli::OptionTable table(28);
  qxsim::AddJigOptions(&table, &jig);
  qxsim::AddClockOptions(&table, &clock);
  EXPECT_EQ("", ParseWords(table, {"--jig-code", "5", "--jig-type", "7", "--jig-values",
                                   "1,2,3,4,5,6.5", "--clock-offset", "-30", "--no-jig"}));
  EXPECT_EQ(jig.code, 5);
  EXPECT_EQ(jig.type, 7);
  EXPECT_EQ(jig.values[5], 6.5);
  EXPECT_EQ(clock.offsetSeconds, -30);
  EXPECT_FALSE(jig.present);
  EXPECT_NE("", ParseWords(table, {"--jig-code", "32"}));
  EXPECT_NE("", ParseWords(table, {"--jig-values", "1,2,3"}));
  EXPECT_NE("", ParseWords(table, {"--other"}));
  EXPECT_EQ(jig.code, 5) << "a refused value changes nothing";
  EXPECT_NE("", ParseWords(table, {"--clock-offset", "soon"}));
}

// Every whole number of the command line reads a leading zero as decimal;
// a device name may hold any bytes, up to 40.
TEST(BenchCommandLineTest, LeadingZerosAreDecimalAndNamesTakeAnyBytes) {
  std::vector<const char*> args = {"qxsim",
                                   "--serial",
                                   "0470012345",
                                   "--jig-code",
                                   "010",
                                   "--analog-seed",
                                   "08",
                                   "--clock-offset",
                                   "-010",
                                   "--fault-dio-stuck-low",
                                   "010",
                                   "--meter-ms-per-reading",
                                   "010",
                                   "--ts-first-serial",
                                   "0x1C03C892",
                                   "--name",
                                   "Bench_2345\r\n;"};
  qxsim::BenchOptions options;
  qxsim::DeviceCommandLine seen;
  std::string error;
  ASSERT_EQ(0,
            qxsim::ParseBenchCommandLine(static_cast<int>(args.size()),
                                         const_cast<char**>(args.data()), &options, &seen, &error))
      << error;
  EXPECT_EQ(470012345u, options.device.serialNumber);
  EXPECT_EQ(10, options.jig.code);
  EXPECT_EQ(8u, options.device.analog.seed);
  EXPECT_EQ(-10, options.device.clock.offsetSeconds);
  EXPECT_EQ(10, options.production.dio.stuckLow);
  EXPECT_EQ(10u, options.meter.msPerReading);
  EXPECT_EQ(470010002u, options.testServer.firstSerial);
  EXPECT_EQ("Bench_2345\r\n;", options.device.name);
  std::string longName(41, 'n');
  const char* tooLong[] = {"qxsim", "--name", longName.c_str()};
  EXPECT_EQ(-1,
            qxsim::ParseBenchCommandLine(3, const_cast<char**>(tooLong), &options, &seen, &error));
}

}  // namespace
