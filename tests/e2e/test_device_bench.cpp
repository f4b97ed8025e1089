// The station's device link over real loopback sockets against the
// in-process virtual device: flash operations on the simulated flash, every
// link fault giving its code within the time-out, and the opening test.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/flash.h"
#include "device/flash_map.h"
#include "device/registers.h"
#include "production/open_device.h"
#include "qxm/qxm.h"
#include "qxm/qxm_backend.h"
#include "qxm/qxm_errors.h"
#include "sim/bench.h"

namespace {

constexpr unsigned kReplyTimeoutMs = 400;

class DeviceBenchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qxsim::BenchOptions options;
    options.restartMs = 300;
    bench_ = std::make_unique<qxsim::Bench>(options);
    std::string error;
    ASSERT_TRUE(bench_->Start(&error)) << error;
    setenv("QXM_USB_ENDPOINT", bench_->usbEndpoint().c_str(), 1);
    QxmSetReplyTimeoutMs(kReplyTimeoutMs);
    ASSERT_EQ(QXM_Open("z5 device type", "usb", "any identifier", &handle_), QXM_OK);
  }
  void TearDown() override {
    if (handle_ != 0) QXM_Close(handle_);
    QxmSetReplyTimeoutMs(3000);
    unsetenv("QXM_USB_ENDPOINT");
  }
  std::vector<uint8_t> Peek(uint32_t address, size_t length) {
    return bench_->device().PeekFlash(address, length);
  }
  std::unique_ptr<qxsim::Bench> bench_;
  int handle_ = 0;
};

TEST_F(DeviceBenchTest, WriteFlashBytesErasesOnlyWhenABitMustBeSet) {
  const uint32_t record = kConfigPageBase + 0x40;
  const uint8_t first[4] = {0x0F, 0x12, 0x34, 0x56};
  uint64_t erases = bench_->device().flashEraseCount();

  // Fresh bytes only clear bits: written without an erase.
  bench_->device().BlankFlash(kConfigPageBase + 0x40, 4);
  ASSERT_EQ(WriteFlashBytes(handle_, kConfigPageKey, record, 4, first), 0);
  EXPECT_EQ(bench_->device().flashEraseCount(), erases);
  EXPECT_EQ(Peek(record, 4), std::vector<uint8_t>(first, first + 4));

  // 0x0F -> 0xFF needs a bit set: the page is erased and written back whole,
  // so the rest of the page keeps what it held.
  std::vector<uint8_t> before = Peek(kConfigPageBase, kFlashPageSize);
  const uint8_t second[4] = {0xFF, 0x12, 0x34, 0x56};
  ASSERT_EQ(WriteFlashBytes(handle_, kConfigPageKey, record, 4, second), 0);
  EXPECT_EQ(bench_->device().flashEraseCount(), erases + 1);
  std::vector<uint8_t> after = Peek(kConfigPageBase, kFlashPageSize);
  before[0x40] = 0xFF;
  EXPECT_EQ(after, before);

  // The same bytes again: nothing is erased or written.
  uint64_t writes = bench_->device().flashWriteCount();
  ASSERT_EQ(WriteFlashBytes(handle_, kConfigPageKey, record, 4, second), 0);
  EXPECT_EQ(bench_->device().flashEraseCount(), erases + 1);
  EXPECT_EQ(bench_->device().flashWriteCount(), writes);
}

TEST_F(DeviceBenchTest, WholePageRoundTripsThroughTheFlashInterface) {
  std::vector<uint8_t> image(kFlashPageSize);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
  ASSERT_EQ(EraseFlashPage(handle_, kCalibrationPageKey, kCalibrationPageBase), 0);
  ASSERT_EQ(
      WriteFlash(handle_, kCalibrationPageKey, kCalibrationPageBase, kFlashPageSize, image.data()),
      0);
  std::vector<uint8_t> back(kFlashPageSize, 0);
  ASSERT_EQ(
      ReadFlash(handle_, kCalibrationPageKey, kCalibrationPageBase, kFlashPageSize, back.data()),
      0);
  EXPECT_EQ(back, image);
  EXPECT_EQ(Peek(kCalibrationPageBase, kFlashPageSize), image);
}

TEST_F(DeviceBenchTest, TheDeviceRefusesAWrongKeyAndAddressesOutsideItsRegions) {
  std::vector<uint8_t> before = Peek(kCalibrationPageBase, 64);
  const uint8_t data[4] = {0, 0, 0, 0};
  int32_t code = WriteFlash(handle_, kConfigPageKey, kCalibrationPageBase, 4, data);
  EXPECT_GT(code, QXM_ERR_DEVICE_EXCEPTION_BASE);
  EXPECT_EQ(EraseFlashPage(handle_, kFirmwareKey, kCalibrationPageBase), code);
  EXPECT_EQ(Peek(kCalibrationPageBase, 64), before);
  EXPECT_GT(EraseFlashPage(handle_, kCalibrationPageKey, 0x100000), QXM_ERR_DEVICE_EXCEPTION_BASE);
  // An exception leaves the link in step.
  uint32_t edition = 99;
  EXPECT_EQ(ReadU32(handle_, 60010, &edition), 0);
  EXPECT_EQ(edition, 0u);
}

TEST_F(DeviceBenchTest, AFailingFlashWriteIsReportedNotSwallowed) {
  bench_->SetFlashWriteFault(0);
  const uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(WriteFlash(handle_, kCalibrationPageKey, kCalibrationPageBase, 4, data),
            QXM_ERR_DEVICE_EXCEPTION_BASE + 4);
}

TEST_F(DeviceBenchTest, EveryLinkFaultGivesItsCodeWithinTheTimeOut) {
  struct Case {
    const char* what;
    qxsim::LinkFaults faults;
    int32_t code;
  };
  std::vector<Case> cases;
  auto add = [&](const char* what, auto change, int32_t code) {
    qxsim::LinkFaults f;
    change(f);
    cases.push_back({what, f, code});
  };
  add(
      "no answer", [](qxsim::LinkFaults& f) { f.noAnswer = true; }, QXM_ERR_REPLY_TIMEOUT);
  add(
      "too slow", [](qxsim::LinkFaults& f) { f.slowMs = 900; }, QXM_ERR_REPLY_TIMEOUT);
  add(
      "slow but in time", [](qxsim::LinkFaults& f) { f.slowMs = 100; }, 0);
  add(
      "transaction",
      [](qxsim::LinkFaults& f) { f.corruptHeader = qxsim::HeaderFault::kTransactionId; },
      QXM_ERR_BAD_TRANSACTION);
  add(
      "protocol", [](qxsim::LinkFaults& f) { f.corruptHeader = qxsim::HeaderFault::kProtocol; },
      QXM_ERR_BAD_PROTOCOL);
  add(
      "length", [](qxsim::LinkFaults& f) { f.corruptHeader = qxsim::HeaderFault::kLength; },
      QXM_ERR_BAD_LENGTH);
  add(
      "unit", [](qxsim::LinkFaults& f) { f.corruptHeader = qxsim::HeaderFault::kUnit; },
      QXM_ERR_BAD_UNIT);
  add(
      "function", [](qxsim::LinkFaults& f) { f.corruptHeader = qxsim::HeaderFault::kFunction; },
      QXM_ERR_BAD_FUNCTION);
  add(
      "dropped", [](qxsim::LinkFaults& f) { f.dropAfter = 0; }, QXM_ERR_CONNECTION_LOST);

  for (const Case& c : cases) {
    bench_->SetUsbFaults(c.faults);
    uint32_t value = 0;
    auto start = std::chrono::steady_clock::now();
    int32_t code = ReadU32(handle_, 60010, &value);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_EQ(code, c.code) << c.what;
    // Bounded: never much beyond the reply time-out.
    EXPECT_LT(ms, static_cast<long>(kReplyTimeoutMs) * 3) << c.what;
    // With the fault gone, the link recovers on the same handle.
    bench_->SetUsbFaults(qxsim::LinkFaults());
    EXPECT_EQ(ReadU32(handle_, 60010, &value), 0) << c.what;
  }
}

TEST_F(DeviceBenchTest, ADroppedConnectionAfterNRequestsFailsTheNextOne) {
  qxsim::LinkFaults faults;
  faults.dropAfter = 2;
  bench_->SetUsbFaults(faults);
  QXM_Close(handle_);
  ASSERT_EQ(QXM_Open("z5 device type", "usb", "any identifier", &handle_), QXM_OK);
  uint32_t value = 0;
  EXPECT_EQ(ReadU32(handle_, 60010, &value), 0);
  EXPECT_EQ(ReadU32(handle_, 60010, &value), 0);
  EXPECT_EQ(ReadU32(handle_, 60010, &value), QXM_ERR_CONNECTION_LOST);
}

TEST_F(DeviceBenchTest, OpeningTestRecognisesBothEditions) {
  for (bool isMax : {false, true}) {
    bench_->device().SetMax(isMax);
    TestContext context;
    context.mask = 0x20000;
    EXPECT_EQ(OpenDevice(&context), 0u);
    EXPECT_EQ(context.EL, kLevelPassed);
    EXPECT_STREQ(context.Msg, isMax ? "Quenlox Z5-Max Found" : "Quenlox Z5 Found");
    EXPECT_EQ(context.isMax, isMax ? 1 : 0);
    EXPECT_EQ(bench_->device().ReadF32(30014), 0.0f);
    QXM_Close(context.handle);
  }
}

TEST_F(DeviceBenchTest, NoDeviceEndsTheOpeningTestFatalAtOnce) {
  bench_->Stop();
  TestContext context;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(OpenDevice(&context), 1u);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  start)
                .count();
  EXPECT_EQ(context.EL, kLevelFatal);
  EXPECT_STREQ(context.Msg, "No Quenloxs found (1007)");
  EXPECT_LT(ms, 3500);
}

}  // namespace
