// The operator's bench tools as built programs against qxsim: qxreg sets the
// jig's source, qxmeter reads it back through the meter on its pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

class BenchToolsEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = BuiltProgramDir();
    ASSERT_FALSE(bin_.empty()) << "QX_BIN_DIR is not set";
    dir_ = temp_.path();
    ASSERT_FALSE(dir_.empty());
    sim_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{bin_ + "/qxsim", "--usb", "127.0.0.1:0", "--eth", "127.0.0.1:0",
                                 "--ts-endpoint", "127.0.0.1:0", "--ts-results", dir_ + "/results",
                                 "--meter-link", dir_ + "/meter", "--meter-fast", "--meter-idn",
                                 "QXSIM,DMM-65,SIM0001\x1b[2J\x07,1.2-0.4"},
        ChildProcess::Environment(), true);
    std::string line;
    while (usb_.empty() || !meterUp_) {
      ASSERT_TRUE(sim_->ReadLine(&line, 10000)) << "qxsim did not start";
      if (line.rfind("usb endpoint ", 0) == 0) usb_ = line.substr(13);
      if (line.rfind("meter ", 0) == 0) meterUp_ = true;
    }
  }
  void TearDown() override { sim_.reset(); }
  int Run(std::vector<std::string> args, std::string* out) {
    args[0] = bin_ + "/" + args[0];
    ChildProcess child(args, {{"QXM_USB_ENDPOINT", usb_}, {"QX_COM3", dir_ + "/meter"}}, true);
    *out = child.ReadAll(60000);
    return child.Wait(60000);
  }
  // The readings qxmeter printed ("  N  +V.VVV V" lines).
  static std::vector<double> Readings(const std::string& out) {
    std::vector<double> values;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
      int index = 0;
      double volts = 0;
      char unit = 0;
      if (std::sscanf(line.c_str(), " %d %lf %c", &index, &volts, &unit) == 3 && unit == 'V') {
        values.push_back(volts);
      }
    }
    return values;
  }
  std::string bin_;
  TempDir temp_;
  std::string dir_;
  std::string usb_;
  bool meterUp_ = false;
  std::unique_ptr<ChildProcess> sim_;
};

TEST_F(BenchToolsEndToEnd, MeterReadsTheSourceVoltageTheDeviceSets) {
  std::string out;
  ASSERT_EQ(Run({"qxreg", "write", "30014", "f32", "5.0"}, &out), 0) << out;
  EXPECT_EQ(out, "register 30014 set to 5 (f32)\n");
  ASSERT_EQ(Run({"qxreg", "read", "30014", "f32"}, &out), 0) << out;
  EXPECT_EQ(out, "5\n");

  ASSERT_EQ(Run({"qxmeter", "--port", "COM3", "--range", "0", "--samples", "8"}, &out), 0) << out;
  // The meter's identification is shown, but none of it steers the terminal.
  EXPECT_NE(out.find("Meter: QXSIM,DMM-65,SIM0001\\x1B[2J\\x07,1.2-0.4\n"), std::string::npos)
      << out;
  EXPECT_EQ(std::string::npos, out.find_first_of("\x1b\x07\r")) << out;
  std::vector<double> readings = Readings(out);
  ASSERT_EQ(readings.size(), 8u) << out;
  for (double v : readings) EXPECT_NEAR(v, 5.0, 0.001);
  // 5 V on the 0.1 V scale: nothing but overloads is no reading.
  EXPECT_EQ(Run({"qxmeter", "--range", "2", "--samples", "2"}, &out), 1) << out;
  EXPECT_NE(out.find("2 readings beyond the range's full scale"), std::string::npos) << out;

  // Through the attenuator once line 5 is an output driven low.
  ASSERT_EQ(Run({"qxreg", "write", "30014", "f32", "1.76"}, &out), 0);
  ASSERT_EQ(Run({"qxreg", "write", "2105", "u16", "0x1"}, &out), 0);
  EXPECT_EQ(out, "register 2105 set to 1 (u16)\n");
  ASSERT_EQ(Run({"qxreg", "write", "2005", "u16", "0"}, &out), 0);
  ASSERT_EQ(Run({"qxmeter", "--range", "1", "--samples", "2"}, &out), 0) << out;
  readings = Readings(out);
  ASSERT_EQ(readings.size(), 2u) << out;
  for (double v : readings) EXPECT_LT(v, 0.2);
}

TEST_F(BenchToolsEndToEnd, ToolsSayClearlyWhatIsMissing) {
  std::string out;
  ChildProcess meter({bin_ + "/qxmeter", "--port", "COM4"}, {{"QX_COM4", dir_ + "/nothing"}}, true);
  out = meter.ReadAll(30000);
  EXPECT_EQ(meter.Wait(30000), 1);
  EXPECT_NE(out.find("no meter answers"), std::string::npos) << out;

  EXPECT_EQ(Run({"qxreg", "read", "100", "u16"}, &out), 1);
  EXPECT_EQ(out, "qxreg: read failed (1202): device exception 2\n");
  EXPECT_EQ(Run({"qxreg", "write", "30014", "f32"}, &out), 2);
  EXPECT_EQ(Run({"qxreg", "write", "70000", "u16", "1"}, &out), 2);
  EXPECT_EQ(Run({"qxmeter", "--range", "3"}, &out), 2);
  // An endless body is refused, not read until memory runs out.
  EXPECT_EQ(Run({"qxfwpack", "-o", dir_ + "/fw.bin", "--body", "/dev/zero"}, &out), 2);
  EXPECT_NE(out.find("/dev/zero: longer than 67108864 bytes"), std::string::npos) << out;
}

}  // namespace
