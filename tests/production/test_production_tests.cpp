// The Ethernet test against the bench device in-process on a fake clock: the
// run moves onto the new connection after five seconds of scans, and every
// failure after the USB link was closed is Fatal, shows the plain text,
// leaves its step for the record and no handle behind.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "harness/context.h"
#include "platform/clock.h"
#include "platform/settings.h"
#include "production/settings_tests.h"
#include "production/stream_tests.h"
#include "tests/support/bench_device.h"

namespace {

// A device with the DAC code registers, which the stream test sets first.
void Prepare(BenchDevice& dev, TestContext* context) {
  dev.AddScratchRegisters(51000, 4);
  context->handle = context->usbHandle = dev.Handle();
}

bool StreamRunning(BenchDevice& dev) {
  return dev.model().WithCore([](qxsim::DeviceCore& core) { return core.stream.running(); });
}

TEST(EthernetTestTest, TheRunMovesOntoTheEthernetConnection) {
  platform::FakeClock clock;
  platform::ScopedClock scoped(&clock);
  BenchDevice dev;
  TestContext context;
  Prepare(dev, &context);
  EXPECT_EQ(EthernetTest(&context), 0u);
  EXPECT_EQ(context.EL, 2u);
  EXPECT_STREQ(context.Msg, "Passed 5000 Stream Scans.");
  ASSERT_FALSE(dev.OpenCalls().empty());
  EXPECT_EQ(dev.OpenCalls().back().connectionType, "tcp");
  EXPECT_EQ(dev.OpenCalls().back().identifier, platform::Setting("QX_DEVICE_IP"));
  EXPECT_EQ(context.handle, dev.LastOpened());
  EXPECT_EQ(context.ethernetHandle, context.handle);
  EXPECT_EQ(dev.OpenHandleCount(), 1u) << "the USB link is closed";
  EXPECT_FALSE(StreamRunning(dev));
}

TEST(EthernetTestTest, FailuresAfterTheUsbLinkClosedShowThePlainTextAndRecordTheirStep) {
  struct Case {
    std::function<void(BenchDevice&)> fault;
    uint32_t result;
    const char* msg;
    const char* note;
  };
  auto stream = [](bool bad, bool oversize) {
    return [bad, oversize](BenchDevice& dev) {
      dev.model().WithCore([&](qxsim::DeviceCore& core) {
        core.stream.SetFaults(qxsim::StreamFaults{bad, oversize});
      });
    };
  };
  auto refuse = [](int reg) {
    return [reg](BenchDevice& dev) {
      LinkFaults f;
      f.exceptionRegister = reg;
      f.exceptionCode = 4;
      dev.SetFaults(f);
    };
  };
  // Another device answers on Ethernet: every request after the two over USB
  // reads these registers so.
  auto other = [](std::map<uint16_t, uint16_t> registers) {
    return [registers](BenchDevice& dev) {
      LinkFaults f;
      f.after = 2;
      f.misread = registers;
      dev.SetFaults(f);
    };
  };
  const Case cases[] = {
      {[](BenchDevice& dev) { dev.FailOpens(1007); }, 1, "Comm Error: (1007)",
       "opening Ethernet (USB closed)"},
      {stream(false, true), 0, "Internal Error",
       "reading stream: Stream block claims more than 100 values. (USB closed)"},
      {stream(true, false), 0, "Channel 0, bad value.", "reading stream (USB closed)"},
      {refuse(4500), 0, "Internal Error", "reading stream: error 1204 (USB closed)"},
      {refuse(4990), 0, "Internal Error", "starting stream: error 1204 (USB closed)"},
      {refuse(4992), 0, "Comm Error: (1204)", "stopping stream (USB closed)"},
      {other({{60028, 0x1C03}, {60029, 0xC8F3}}), 1,
       "Wrong device on Ethernet: SN 470010099 MAC 02.7C.4B.00.20.00, expected SN 470010000 MAC "
       "02.7C.4B.00.20.00",
       "checking identity over Ethernet (USB closed)"},
      {other({{60022, 0x2063}}), 1,
       "Wrong device on Ethernet: SN 470010000 MAC 02.7C.4B.00.20.63, expected SN 470010000 MAC "
       "02.7C.4B.00.20.00",
       "checking identity over Ethernet (USB closed)"},
  };
  for (const Case& c : cases) {
    platform::FakeClock clock;
    platform::ScopedClock scoped(&clock);
    BenchDevice dev;
    TestContext context;
    Prepare(dev, &context);
    c.fault(dev);
    EXPECT_EQ(EthernetTest(&context), c.result) << c.msg;
    EXPECT_EQ(context.EL, 5u) << c.msg;
    EXPECT_STREQ(context.Msg, c.msg);
    EXPECT_STREQ(context.recordNote, c.note);
    EXPECT_EQ(context.handle, 0) << c.msg;
    EXPECT_EQ(dev.OpenHandleCount(), 0u) << c.msg << ": no connection left open";
  }
}

// A name register that does not keep what is written: a Write Failure,
// showing what was read back.
TEST(DeviceNameTest, ANameThatDoesNotReadBackIsAWriteFailure) {
  BenchDevice dev;
  LinkFaults f;
  f.misread[60500] = 0x4142;  // "AB"
  dev.SetFaults(f);
  TestContext context;
  context.handle = dev.Handle();
  context.serialNumber = 470012345;
  EXPECT_EQ(DeviceName(&context), 0u);
  EXPECT_EQ(context.EL, 5u);
  EXPECT_STREQ(context.Msg, "Write Failure: AB_Z5_2345");
}

}  // namespace
