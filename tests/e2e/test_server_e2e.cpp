// Whole station runs through the harness against a device whose identity follows its configuration
// page and the bench's test server: a blank device is serialized once, and its report lands in the
// results file.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "device/flash_map.h"
#include "harness/harness.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "server/server_tests.h"
#include "sim/bench.h"
#include "sim/qxts_server.h"
#include "station/run_record.h"
#include "station/station_table.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"

namespace {

// --- Station runs in-process --------------------------------------------------

// The identity and server rows of the run, as the station's table has them;
// the rest of the table is left out so that these runs depend on nothing else.
const char* const kIdentityRows[] = {"Open Quenlox",       "Connect to QXTest Server",
                                     "Read Test Jig Info", "Serial Number",
                                     "Ethernet MAC",       "System Time",
                                     "Report Test Results"};

// The device's own name between the identity rows and the upload.
const char* const kNameRows[] = {"Open Quenlox", "Connect to QXTest Server", "Serial Number",
                                 "Device Name", "Report Test Results"};

template <size_t N>
uint32_t KeepRows(TestContext* context, TestRecord* list, const char* const (&rows)[N]) {
  uint32_t result = GetTestList(context, list);
  uint32_t kept = 0;
  for (uint32_t i = 0; i < context->testCount; ++i) {
    for (const char* name : rows) {
      if (std::strcmp(list[i].name, name) != 0) continue;
      list[kept].name = list[i].name;
      list[kept].test = list[i].test;
      ++kept;
    }
  }
  context->testCount = kept;
  return result;
}

uint32_t IdentityList(TestContext* context, TestRecord* list) {
  return KeepRows(context, list, kIdentityRows);
}
uint32_t NameList(TestContext* context, TestRecord* list) {
  return KeepRows(context, list, kNameRows);
}

const DeviceTypeEntry kTypes[] = {{"GetTestList", kZ5DeviceType, IdentityList},
                                  {nullptr, 0, nullptr}};
const DeviceTypeEntry kNameTypes[] = {{"GetTestList", kZ5DeviceType, NameList},
                                      {nullptr, 0, nullptr}};

class NullSink : public ReportSink {
 public:
  void Show(const char*, size_t) override {}
};

class ScreenSink : public ReportSink {
 public:
  void Show(const char* text, size_t length) override { screen.append(text, length); }
  std::string screen;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The virtual bench's device and test server in-process, on ephemeral ports.
class StationRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = temp_.path();
    qxsim::TestServerOptions options;
    options.stateFile = dir_ + "/state";
    options.resultsFile = dir_ + "/results";
    server_.reset(new qxsim::TestServer(options));
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    setenv("QXTS_ENDPOINT", server_->endpoint().c_str(), 1);
  }
  void StartBench(const qxsim::BenchOptions& options) {
    bench_.reset(new qxsim::Bench(options));
    std::string error;
    ASSERT_TRUE(bench_->Start(&error)) << error;
    setenv("QXM_USB_ENDPOINT", bench_->usbEndpoint().c_str(), 1);
  }
  static qxsim::BenchOptions BlankDevice() {
    qxsim::BenchOptions options;
    options.device.identity = qxsim::StartingIdentity::kBlank;
    options.device.isMax = true;
    return options;
  }
  void TearDown() override {
    if (bench_ != nullptr) bench_->Stop();
    server_->Stop();
    unsetenv("QXTS_ENDPOINT");
    unsetenv("QXM_USB_ENDPOINT");
  }
  std::unique_ptr<TestHarness> Run(uint32_t mask) {
    std::unique_ptr<TestHarness> harness(new TestHarness(kZ5DeviceType, mask, 1, &sink_, kTypes));
    harness->Run();
    return harness;
  }
  static const TestRecord* Find(const TestHarness& harness, const char* name) {
    for (uint32_t i = 0; i < harness.testCount(); ++i) {
      if (std::strcmp(harness.list()[i].name, name) == 0) return &harness.list()[i];
    }
    return nullptr;
  }
  // The message the run sent: its report lines before the last test.
  static std::string ExpectedMessage(const TestHarness& harness, const char* command) {
    std::string s = std::string(command) + " 0x";
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx",
                  static_cast<unsigned long long>(harness.context().serialNumber));
    s += hex;
    s += " {";
    for (uint32_t i = 0; i + 1 < harness.testCount(); ++i) {
      if (i > 0) s += ";";
      s += harness.context().resultLines[i];
    }
    return s + "}";
  }

  NullSink sink_;
  TempDir temp_;
  std::string dir_;
  std::unique_ptr<qxsim::TestServer> server_;
  std::unique_ptr<qxsim::Bench> bench_;
};

constexpr uint32_t kSerializeMask = 0x40000 | 0x10000 | 0x100 | 0x40;

TEST_F(StationRunTest, BlankDeviceIsSerializedOnceAndItsReportIsStored) {
  StartBench(BlankDevice());
  std::unique_ptr<TestHarness> first = Run(kSerializeMask);
  ASSERT_EQ(6u, first->testCount());
  EXPECT_TRUE(first->passed()) << first->list()[0].details;
  EXPECT_STREQ("New Serial: 470010002", Find(*first, "Serial Number")->details);
  EXPECT_STREQ("MAC Written: 02.7C.4B.00.20.01", Find(*first, "Ethernet MAC")->details);
  EXPECT_EQ(kLevelPassed, Find(*first, "System Time")->status);
  EXPECT_EQ(kLevelPassed, Find(*first, "Report Test Results")->status);
  // The configuration page holds both records, byte for byte.
  qxsim::VirtualDevice& device = bench_->device();
  EXPECT_EQ(std::vector<uint8_t>({0x08, 0xBE, 0xE1, 0x7D, 0, 0, 0, 0, 0x92, 0xC8, 0x03, 0x1C}),
            device.PeekFlash(kConfigPageBase, 12));
  EXPECT_EQ(std::vector<uint8_t>({0, 0, 0x02, 0x7C, 0x4B, 0x00, 0x20, 0x01}),
            device.PeekFlash(kConfigPageBase + 0x14, 8));
  std::string firstMessage = ExpectedMessage(*first, "qtest");
  EXPECT_NE(std::string::npos, firstMessage.find("Serial Number : Passed : New Serial: 470010002"));
  EXPECT_EQ(0u, firstMessage.find("qtest 0x000000001c03c892 {"));
  EXPECT_EQ(firstMessage + "\n", ReadFile(dir_ + "/results"));
  first.reset();

  std::unique_ptr<TestHarness> second = Run(kSerializeMask);
  EXPECT_TRUE(second->passed());
  EXPECT_STREQ("Serial Number: 470010002", Find(*second, "Serial Number")->details);
  EXPECT_STREQ("MAC: 02.7C.4B.00.20.01", Find(*second, "Ethernet MAC")->details);
  EXPECT_EQ(470010003u, server_->nextSerial()) << "no new number taken";
  EXPECT_EQ(0x027C4B002002u, server_->nextMac());
  std::string secondMessage = ExpectedMessage(*second, "qtest");
  EXPECT_EQ(firstMessage + "\n" + secondMessage + "\n", ReadFile(dir_ + "/results"));
}

TEST_F(StationRunTest, JigRunsSendATestMessage) {
  StartBench(BlankDevice());
  // Without the serializing options the blank device only earns warnings.
  std::unique_ptr<TestHarness> run = Run(0x40000 | 0x20000 | 0x10000);
  ASSERT_EQ(7u, run->testCount());
  EXPECT_STREQ("Jig found: (6,3,3)", Find(*run, "Read Test Jig Info")->details);
  EXPECT_STREQ("Default Serial: 4294967295", Find(*run, "Serial Number")->details);
  EXPECT_STREQ("Default MAC: FF.FF.FF.FF.FF.FF", Find(*run, "Ethernet MAC")->details);
  EXPECT_EQ(kLevelPassed, Find(*run, "Report Test Results")->status);
  const TestContext& context = *run->context();
  const double expected[6] = {4.0, 4.0, 10000.0, 47000.0, 0.1f, 100000.0};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(expected[i], context.jigValues[i]) << i;
  EXPECT_EQ(ExpectedMessage(*run, "test") + "\n", ReadFile(dir_ + "/results"));
}

TEST_F(StationRunTest, WithoutTheJigTheRunStopsBeforeTheUpload) {
  qxsim::BenchOptions options = BlankDevice();
  options.jig.present = false;
  StartBench(options);
  std::unique_ptr<TestHarness> run = Run(0x40000 | 0x20000 | 0x10000);
  const TestRecord* jig = Find(*run, "Read Test Jig Info");
  ASSERT_NE(nullptr, jig);
  EXPECT_EQ(kLevelFatal, jig->status);
  EXPECT_STREQ("Code mismatch: (65535,255,31)", jig->details);
  EXPECT_EQ(kLevelNotRun, Find(*run, "Report Test Results")->status);
  EXPECT_EQ("", ReadFile(dir_ + "/results"));
}

TEST_F(StationRunTest, AServerThatIsDownStopsTheRunAtTheConnection) {
  StartBench(BlankDevice());
  server_->Stop();
  std::unique_ptr<TestHarness> run = Run(kSerializeMask);
  const TestRecord* connect = Find(*run, "Connect to QXTest Server");
  ASSERT_NE(nullptr, connect);
  EXPECT_EQ(kLevelFatal, connect->status);
  EXPECT_STREQ("Connection Error (3)", connect->details);
  EXPECT_EQ(kLevelNotRun, Find(*run, "Serial Number")->status);
  EXPECT_FALSE(run->passed());
  EXPECT_EQ(0xFFFFFFFFu, bench_->device().SerialNumber());
}

// A device name that holds line ends: the server gets the one result message
// (no line of the name taken as a request, no serial number handed out), the
// screen gets no control character but the report's own line ends, and the
// run's record keeps the name as the device holds it.
TEST_F(StationRunTest, AHostileDeviceNameReachesNeitherTheServerNorTheScreenRaw) {
  qxsim::BenchOptions options;
  options.device.identity = qxsim::StartingIdentity::kGiven;
  options.device.serialNumber = 470012345;
  options.device.name = "Bench_2345\r\nserial\r\nmac";
  StartBench(options);
  ScreenSink screen;
  RunRecord record("", kSerializeMask);
  TestHarness harness(kZ5DeviceType, kSerializeMask, 0, &screen, kNameTypes);
  harness.AddObserver(&record);
  harness.Run();
  EXPECT_TRUE(harness.passed());
  EXPECT_STREQ("Name: Bench_2345\r\nserial\r\nmac", Find(harness, "Device Name")->details);
  EXPECT_STREQ("Sent 4 results. ", Find(harness, "Report Test Results")->details);

  std::vector<std::string> requests = server_->requests();
  ASSERT_EQ(2u, requests.size());
  EXPECT_EQ(0u, requests[0].rfind("ID QXTestZ5 ", 0));
  EXPECT_EQ(server_->results(), std::vector<std::string>{requests[1]});
  EXPECT_NE(std::string::npos,
            requests[1].find(";Device Name : Passed : Name: Bench_2345\\r\\nserial\\r\\nmac}"))
      << requests[1];
  EXPECT_EQ(470010002u, server_->nextSerial());

  for (size_t i = 0; i < screen.screen.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(screen.screen[i]);
    bool lineEnd = (c == '\r' && screen.screen.compare(i, 2, "\r\n") == 0) ||
                   (c == '\n' && i > 0 && screen.screen[i - 1] == '\r');
    ASSERT_TRUE(lineEnd || (c >= 0x20 && c < 0x7F)) << "byte " << i << ": " << int{c};
  }
  EXPECT_NE(std::string::npos, screen.screen.find("Name: Bench_2345\\r\\nserial\\r\\nmac\r\n"));
  EXPECT_NE(std::string::npos, record.ToJson().find("\"Name: Bench_2345\\r\\nserial\\r\\nmac\""));
}

// --- Built programs -------------------------------------------------------------

class BuiltProgramsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    bin_ = BuiltProgramDir();
    ASSERT_FALSE(bin_.empty()) << "QX_BIN_DIR is not set";
    for (const char* name : {"qxts", "qxsim", "qxstation"}) {
      ASSERT_TRUE(platform::FileExists(Program(name).c_str())) << name;
    }
    dir_ = temp_.path();
  }
  void TearDown() override { server_.reset(); }
  std::string Program(const char* name) const { return bin_ + "/" + name; }
  std::vector<std::string> ServerFiles() const {
    return {"--ts-endpoint",   "127.0.0.1:0", "--ts-results",
            dir_ + "/results", "--ts-state",  dir_ + "/state"};
  }
  // Starts a program that prints its endpoints, and reads them up to the
  // test server's.
  void StartServing(std::vector<std::string> args) {
    server_.reset(new ChildProcess(args, ChildProcess::Environment(), true));
    std::string line;
    while (server_->ReadLine(&line, 10000)) {
      if (line.rfind("usb endpoint ", 0) == 0) usb_ = line.substr(13);
      if (line.rfind("test server", 0) == 0) {
        size_t blank = line.rfind(' ');
        server_endpoint_ = line.substr(blank + 1);
        break;
      }
    }
    ASSERT_FALSE(server_endpoint_.empty()) << "no test server endpoint printed";
  }
  int RunStation(const char* mask, bool quiet, std::string* out) {
    // Forced: some of these runs talk to the server alone, without the device.
    std::vector<std::string> args = {Program("qxstation"), "--mask", mask, "--force"};
    if (quiet) args.push_back("--quiet");
    ChildProcess station(args, {{"QXTS_ENDPOINT", server_endpoint_}, {"QXM_USB_ENDPOINT", usb_}},
                         true);
    *out = station.ReadAll(60000);
    return station.Wait(60000);
  }

  std::string bin_;
  TempDir temp_;
  std::string dir_;
  std::string usb_ = "127.0.0.1:1";
  std::string server_endpoint_;
  std::unique_ptr<ChildProcess> server_;
};

TEST_F(BuiltProgramsTest, StationReportsToTheServerProgram) {
  std::vector<std::string> args = {Program("qxts")};
  for (const std::string& a : ServerFiles()) args.push_back(a);
  StartServing(args);
  std::string out;
  EXPECT_EQ(0, RunStation("0x10000", true, &out)) << out;
  EXPECT_EQ("qtest 0x0000000000000000 {Connect to QXTest Server : Passed : Connected to Server}\n",
            ReadFile(dir_ + "/results"));
}

TEST_F(BuiltProgramsTest, RefusedIdentificationFailsTheRun) {
  std::vector<std::string> args = {Program("qxts"), "--ts-fault", "error:401", "--ts-fault-on",
                                   "ID"};
  for (const std::string& a : ServerFiles()) args.push_back(a);
  StartServing(args);
  std::string out;
  EXPECT_EQ(1, RunStation("0x10000", false, &out));
  EXPECT_NE(std::string::npos, out.find("Connection Error (401)")) << out;
  EXPECT_EQ("", ReadFile(dir_ + "/results"));
}

TEST_F(BuiltProgramsTest, BlankVirtualDeviceIsSerializedOnce) {
  std::vector<std::string> args = {Program("qxsim"), "--blank",     "--usb",   "127.0.0.1:0",
                                   "--eth",          "127.0.0.1:0", "--state", dir_ + "/device"};
  for (const std::string& a : ServerFiles()) args.push_back(a);
  StartServing(args);
  std::string out;
  // Serial number, MAC and whatever else the full station runs.
  RunStation("0x50140", false, &out);
  EXPECT_NE(std::string::npos, out.find("New Serial: 470010002\r\n")) << out;
  EXPECT_NE(std::string::npos, out.find("MAC Written: 02.7C.4B.00.20.01\r\n")) << out;
  EXPECT_EQ("next_serial 470010003\nnext_mac 027C4B002002\n", ReadFile(dir_ + "/state"));

  RunStation("0x50140", false, &out);
  EXPECT_NE(std::string::npos, out.find("Serial Number: 470010002\r\n")) << out;
  EXPECT_NE(std::string::npos, out.find("MAC: 02.7C.4B.00.20.01\r\n")) << out;
  EXPECT_EQ(std::string::npos, out.find("New Serial")) << out;
  EXPECT_EQ("next_serial 470010003\nnext_mac 027C4B002002\n", ReadFile(dir_ + "/state"));

  // The device opening, the connection and the upload alone: the message
  // lands in the results file whole.
  std::string results = ReadFile(dir_ + "/results");
  EXPECT_EQ(0, RunStation("0x10400", true, &out)) << out;
  EXPECT_EQ(results +
                "qtest 0x0000000000000000 {Open Quenlox : Passed : Quenlox Z5 Found;"
                "Connect to QXTest Server : Passed : Connected to Server}\n",
            ReadFile(dir_ + "/results"));
}

}  // namespace
