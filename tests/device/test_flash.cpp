// Flash operations against the bench device's flash: exchange counts, chunking,
// the erase/write decisions of read-modify-write, and bad arguments.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device/device_link.h"
#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/flash.h"
#include "device/flash_map.h"
#include "device/link_errors.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "qxm/qxm.h"
#include "qxm/qxm_errors.h"
#include "sim/core/protocol.h"
#include "tests/support/bench_device.h"

namespace {

constexpr uint32_t kPage = kCalibrationPageBase;
constexpr uint32_t kKey = kCalibrationPageKey;
constexpr int kWrongKey = QXM_ERR_DEVICE_EXCEPTION_BASE + qxsim::kWrongFlashKey;

class FlashTest : public ::testing::Test {
 protected:
  Bytes FlashAt(uint32_t address, size_t length) { return device.Flash(address, length); }
  void FillFlash(uint32_t address, size_t length, uint8_t value) {
    device.model().PokeFlash(address, Bytes(length, value));
  }
  // The request after `after` good ones loses the connection.
  void DropAfter(int after) {
    LinkFaults faults;
    faults.after = after;
    faults.drop = true;
    device.SetFaults(faults);
  }
  // Register count of the write-window record of request i.
  size_t WriteWindowRegisters(size_t i) const {
    const Bytes& r = device.Requests()[i];
    // Key record (4 + 4 bytes), then the write-window record.
    EXPECT_EQ(GetU16BE(r.data(), r.size(), 8 + 1), kRegFlashKey);
    EXPECT_EQ(GetU16BE(r.data(), r.size(), 16 + 1), kRegFlashWriteWindow);
    return r[16 + 3];
  }
  static Bytes Pattern(size_t length, uint8_t seed) {
    Bytes out(length);
    for (size_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(seed + 7 * i);
    return out;
  }

  BenchDevice device;
  int h = device.Handle();
};

TEST_F(FlashTest, EraseIsOneExchangeOfKeyAndPage) {
  FillFlash(kPage, kFlashPageSize, 0x00);
  ASSERT_EQ(EraseFlashPage(h, kKey, kPage), 0);
  ASSERT_EQ(device.ExchangeCount(), 1u);
  EXPECT_EQ(device.Requests()[0],
            (Bytes{0,    0,    0,    0,    0,    0x12, 0,    0x4C, 0x01, 0xF1, 0x68, 0x02,
                   0x6C, 0x1D, 0x4E, 0x93, 0x01, 0xF1, 0x7C, 0x02, 0x00, 0x3C, 0x40, 0x00}));
  EXPECT_EQ(FlashAt(kPage, kFlashPageSize), Bytes(kFlashPageSize, 0xFF));
}

TEST_F(FlashTest, WriteChunksOfThirtyTwoBytes) {
  const Bytes data = Pattern(36, 1);
  ASSERT_EQ(WriteFlash(h, kKey, kPage + 0x100, 36, data.data()), 0);
  ASSERT_EQ(device.ExchangeCount(), 2u);
  EXPECT_EQ(WriteWindowRegisters(0), 18u);
  EXPECT_EQ(WriteWindowRegisters(1), 4u);
  // The second chunk names its own address, most significant byte first.
  const Bytes& second = device.Requests()[1];
  EXPECT_EQ(GetU32BE(second.data(), second.size(), 20), kPage + 0x100 + 32);
  EXPECT_EQ(Bytes(second.begin() + 24, second.end()), Bytes(data.begin() + 32, data.end()));
  EXPECT_EQ(FlashAt(kPage + 0x100, 36), data);
  EXPECT_EQ(FlashAt(kPage + 0x100 + 36, 4), Bytes(4, 0xFF));
}

struct WriteLengthCase {
  uint32_t length;
  int code;
  size_t exchanges;
};

TEST_F(FlashTest, WriteLengths) {
  const WriteLengthCase cases[] = {{0, 0, 0},
                                   {2, 0, 1},
                                   {32, 0, 1},
                                   {34, 0, 2},
                                   {64, 0, 2},
                                   {4096, 0, 128},
                                   {31, kLinkFlashBadArgument, 0},
                                   {1, kLinkFlashBadArgument, 0}};
  const Bytes data = Pattern(4096, 3);
  for (const WriteLengthCase& c : cases) {
    SCOPED_TRACE(c.length);
    device.ClearRequests();
    EXPECT_EQ(WriteFlash(h, kKey, kPage, c.length, data.data()), c.code);
    EXPECT_EQ(device.ExchangeCount(), c.exchanges);
  }
}

TEST_F(FlashTest, WriteStopsAtTheFirstFailingChunk) {
  device.model().SetFlashWriteFault(1);  // the first chunk takes, the second does not
  const Bytes data = Pattern(128, 5);
  EXPECT_EQ(WriteFlash(h, kKey, kPage, 128, data.data()),
            QXM_ERR_DEVICE_EXCEPTION_BASE + qxsim::kDeviceFailure);
  EXPECT_EQ(device.ExchangeCount(), 2u);
  EXPECT_EQ(FlashAt(kPage, 32), Bytes(data.begin(), data.begin() + 32));
  EXPECT_EQ(FlashAt(kPage + 32, 32), Bytes(32, 0xFF));
}

TEST_F(FlashTest, WriteWithTheWrongKeyIsRefusedByTheDevice) {
  const Bytes data = Pattern(32, 9);
  EXPECT_EQ(WriteFlash(h, kConfigPageKey, kPage, 32, data.data()), kWrongKey);
  EXPECT_EQ(EraseFlashPage(h, kFirmwareKey, kPage), kWrongKey);
  EXPECT_EQ(FlashAt(kPage, 32), Bytes(32, 0xFF));
  EXPECT_EQ(device.model().flashEraseCount(), 0u);
}

TEST_F(FlashTest, ReadTakesOnePointerExchangeAndOnePerChunk) {
  const Bytes stored = Pattern(256, 11);
  device.model().PokeFlash(kPage, stored);
  Bytes out(256, 0);
  ASSERT_EQ(ReadFlash(h, kKey, kPage, 256, out.data()), 0);
  EXPECT_EQ(out, stored);
  ASSERT_EQ(device.ExchangeCount(), 1u + 8u);
  // First: key and pointer written, both read back.
  const Bytes& first = device.Requests()[0];
  EXPECT_EQ(Bytes(first.begin() + 8, first.end()),
            (Bytes{0x01, 0xF1, 0x68, 0x02, 0x6C, 0x1D, 0x4E, 0x93, 0x01, 0xF1, 0x72, 0x02,
                   0x00, 0x3C, 0x40, 0x00, 0x00, 0xF1, 0x68, 0x02, 0x00, 0xF1, 0x72, 0x02}));
  // Then pointer and window for each chunk.
  const Bytes& last = device.Requests()[8];
  EXPECT_EQ(Bytes(last.begin() + 8, last.end()),
            (Bytes{0x01, 0xF1, 0x72, 0x02, 0x00, 0x3C, 0x40, 0xE0, 0x00, 0xF1, 0x74, 0x10}));
}

TEST_F(FlashTest, ReadOfAPartialChunkReadsTheTailAndWritesNothingPastTheData) {
  const Bytes stored = Pattern(64, 13);
  device.model().PokeFlash(kPage, stored);
  // 40 bytes: one whole chunk and 8 bytes of a second. The buffer is exactly
  // 40 bytes long, so the sanitizer catches any write past it.
  std::vector<uint8_t> out(40, 0);
  ASSERT_EQ(ReadFlash(h, kKey, kPage, 40, out.data()), 0);
  EXPECT_EQ(out, Bytes(stored.begin(), stored.begin() + 40));
  EXPECT_EQ(device.ExchangeCount(), 1u + 2u);
}

TEST_F(FlashTest, ReadStopsAtTheFirstFailingExchange) {
  Bytes out(256, 0);
  DropAfter(0);
  EXPECT_EQ(ReadFlash(h, kKey, kPage, 256, out.data()), QXM_ERR_CONNECTION_LOST);
  EXPECT_EQ(device.ExchangeCount(), 1u);
  device.ClearRequests();
  DropAfter(3);
  EXPECT_EQ(ReadFlash(h, kKey, kPage, 256, out.data()), QXM_ERR_CONNECTION_LOST);
  EXPECT_EQ(device.ExchangeCount(), 4u);
  // A range off the flash is the device's refusal.
  device.ClearFaults();
  EXPECT_EQ(ReadFlash(h, kKey, 0x100000, 32, out.data()),
            QXM_ERR_DEVICE_EXCEPTION_BASE + qxsim::kIllegalDataAddress);
}

TEST_F(FlashTest, NullBuffersAreRefused) {
  EXPECT_EQ(ReadFlash(h, kKey, kPage, 32, nullptr), kLinkBadArgument);
  EXPECT_EQ(WriteFlash(h, kKey, kPage, 32, nullptr), kLinkBadArgument);
  EXPECT_EQ(WriteFlashBytes(h, kKey, kPage, 4, nullptr), kLinkBadArgument);
  EXPECT_EQ(device.ExchangeCount(), 0u);
}

class WriteFlashBytesTest : public FlashTest {};

TEST_F(WriteFlashBytesTest, UnchangedBytesCostOnlyTheRead) {
  const Bytes stored = Pattern(kFlashPageSize, 17);
  device.model().PokeFlash(kPage, stored);
  ASSERT_EQ(WriteFlashBytes(h, kKey, kPage + 0x10, 12, stored.data() + 0x10), 0);
  EXPECT_EQ(device.ExchangeCount(), 129u);
  EXPECT_EQ(device.model().flashEraseCount(), 0u);
  EXPECT_EQ(device.model().flashWriteCount(), 0u);
}

TEST_F(WriteFlashBytesTest, ClearingBitsWritesWithoutErase) {
  const uint8_t value = 0x0F;
  ASSERT_EQ(WriteFlashBytes(h, kKey, kPage + 5, 1, &value), 0);
  EXPECT_EQ(device.ExchangeCount(), 129u + 128u);
  EXPECT_EQ(device.model().flashEraseCount(), 0u);
  EXPECT_EQ(device.model().flashWriteCount(), 128u);
  EXPECT_EQ(FlashAt(kPage + 4, 2), (Bytes{0xFF, 0x0F}));
}

TEST_F(WriteFlashBytesTest, SettingBitsErasesThenWritesTheWholePage) {
  const Bytes stored = Pattern(kFlashPageSize, 19);
  device.model().PokeFlash(kPage, stored);
  FillFlash(kPage + 0x14, 1, 0x0F);
  const uint8_t value = 0xFF;
  ASSERT_EQ(WriteFlashBytes(h, kKey, kPage + 0x14, 1, &value), 0);
  EXPECT_EQ(device.ExchangeCount(), 129u + 1u + 128u);
  ASSERT_EQ(device.recorder().WrittenU32(kRegFlashErase), std::vector<uint32_t>{kPage});
  // The rest of the page survives the erase.
  Bytes expected = stored;
  expected[0x14] = 0xFF;
  EXPECT_EQ(FlashAt(kPage, kFlashPageSize), expected);
}

TEST_F(WriteFlashBytesTest, MixedChangeNeedsTheErase) {
  FillFlash(kConfigPageBase, 1, 0xF0);
  const uint8_t value = 0x0F;  // clears the high bits, sets the low ones
  ASSERT_EQ(WriteFlashBytes(h, kConfigPageKey, kConfigPageBase, 1, &value), 0);
  EXPECT_EQ(device.model().flashEraseCount(), 1u);
  EXPECT_EQ(FlashAt(kConfigPageBase, 1), Bytes{0x0F});
}

struct RangeCase {
  uint32_t offset;
  uint32_t length;
  int code;
};

TEST_F(WriteFlashBytesTest, RangesMustStayInTheirPage) {
  const RangeCase cases[] = {
      {0xFF8, 8, 0},
      {0xFF8, 10, kLinkFlashBadArgument},
      {0x000, 4096, 0},
      {0x001, 4096, kLinkFlashBadArgument},
      // Huge lengths must not wrap past the check.
      {0x008, 0xFFFFFFFFu, kLinkFlashBadArgument},
      {0xFFF, 0xFFFFF001u, kLinkFlashBadArgument},
  };
  const Bytes data(kFlashPageSize, 0xFF);
  for (const RangeCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.offset << " + " << c.length);
    device.ClearRequests();
    EXPECT_EQ(WriteFlashBytes(h, kKey, kPage + c.offset, c.length, data.data()), c.code);
    if (c.code != 0) {
      EXPECT_EQ(device.ExchangeCount(), 0u);
    }
  }
}

TEST_F(WriteFlashBytesTest, AFailedReadChangesNothing) {
  const uint8_t value = 0x00;
  DropAfter(10);
  bool atRisk = true;
  EXPECT_EQ(WriteFlashBytes(h, kKey, kPage, 1, &value, &atRisk), QXM_ERR_CONNECTION_LOST);
  EXPECT_FALSE(atRisk);
  EXPECT_EQ(device.model().flashWriteCount(), 0u);
}

// Once the erase or write has gone out, the page is finished from the image
// for up to 10 s, through a new handle opened as the first one was (or the
// same handle when that is not known); a refused erase too, since it
// proves nothing.
TEST_F(WriteFlashBytesTest, APageBegunIsFinishedWithinTenSeconds) {
  platform::FakeClock clock;
  platform::ScopedClock use(&clock);
  const Bytes stored = Pattern(kFlashPageSize, 23);
  Bytes intended = stored;
  intended[0x20] = 0xFF;
  const uint8_t up = 0xFF;
  int opened = 0;
  ASSERT_EQ(OpenDeviceLink("z5 device type", "usb connection", "any identifier", &opened), 0);
  int ethernet = 0;  // as the run is after the Ethernet test
  ASSERT_EQ(OpenDeviceLink("z5 device type", "tcp", "192.168.1.9", &ethernet), 0);
  LinkFaults refusedErase;
  refusedErase.exceptionRegister = kRegFlashErase;
  refusedErase.exceptionCode = qxsim::kDeviceFailure;
  struct Case {
    const char* what;
    int handle;
    int chunksBefore;  // rewrite chunks that pass before the fault
    int failures;      // consecutive faulty exchanges from there (-1: for good)
    bool refuse;       // refused by the device, not dropped
    int32_t code;
    uint64_t elapsedMs;
    size_t reopens;
  };
  const int32_t refusal = QXM_ERR_DEVICE_EXCEPTION_BASE + qxsim::kDeviceFailure;
  for (const Case& c : {Case{"drop mid-rewrite", h, 60, 1, false, 0, 100, 0},
                        Case{"drop at the erase", opened, -1, 1, false, 0, 100, 1},
                        Case{"gone 2 s", ethernet, 0, 20, false, 0, 2000, 20},
                        Case{"gone for good", opened, 0, -1, false, 1014, 10000, 100},
                        Case{"erase refused once", h, -1, 1, true, 0, 100, 0},
                        Case{"erase always refused", h, -1, -1, true, refusal, 10000, 0}}) {
    SCOPED_TRACE(c.what);
    device.model().PokeFlash(kPage, stored);
    FillFlash(kPage + 0x20, 1, 0x0F);
    const uint64_t start = clock.TickMs();
    const size_t opens = device.OpenCalls().size();
    LinkFaults faults = c.refuse ? refusedErase : LinkFaults();
    faults.after = 129 + 1 + c.chunksBefore;
    faults.drop = !c.refuse;
    faults.times = c.failures;
    device.SetFaults(faults);
    bool atRisk = false;
    EXPECT_EQ(WriteFlashBytes(c.handle, kKey, kPage + 0x20, 1, &up, &atRisk), c.code);
    EXPECT_EQ(clock.TickMs() - start, c.elapsedMs);
    EXPECT_EQ(device.OpenCalls().size() - opens, c.reopens);
    EXPECT_EQ(atRisk, c.code != 0);
    if (c.code == 0) {
      EXPECT_EQ(FlashAt(kPage, kFlashPageSize), intended);
    }
    if (c.reopens > 0) {
      EXPECT_EQ(device.OpenCalls().back().identifier,
                c.handle == ethernet ? "192.168.1.9" : "any identifier");
    }
  }
  QXM_Close(opened);
  QXM_Close(ethernet);
}

TEST_F(WriteFlashBytesTest, RecordRoundTripsThroughTheConfigurationPage) {
  const Bytes serial = {'Q', 'X', '5', '0', '0', '1', '2', '3', '4', '5', 0, 0};
  ASSERT_EQ(WriteFlashBytes(h, kConfigPageKey, kConfigPageBase + kSerialRecordOffset,
                            kSerialRecordSize, serial.data()),
            0);
  const Bytes mac = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x00, 0x00};
  ASSERT_EQ(WriteFlashBytes(h, kConfigPageKey, kConfigPageBase + kMacRecordOffset, kMacRecordSize,
                            mac.data()),
            0);
  Bytes page(kFlashPageSize, 0);
  ASSERT_EQ(ReadFlash(h, kConfigPageKey, kConfigPageBase, kFlashPageSize, page.data()), 0);
  EXPECT_EQ(Bytes(page.begin(), page.begin() + 12), serial);
  EXPECT_EQ(Bytes(page.begin() + 0x14, page.begin() + 0x1C), mac);
  EXPECT_EQ(page[12], 0xFF);
}

}  // namespace
