#include "production/stream_tests.h"

#include <cmath>
#include <cstring>

#include "base/format_mac.h"
#include "base/text.h"
#include "device/device_link.h"
#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/link_errors.h"
#include "device/register_addresses.h"
#include "device/registers.h"
#include "harness/measure.h"
#include "harness/messages.h"
#include "platform/byte_order.h"
#include "platform/clock.h"
#include "platform/settings.h"
#include "platform/stop_request.h"
#include "qxm/qxm.h"

namespace {

constexpr uint32_t kStreamPollMs = 10;

// Channels 0, 1, 2 and 15, as the device expects them.
const uint8_t kChannelList[16] = {0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 0x0F, 0, 0, 0};

bool Within(float value, double low, double high) {
  double v = value;
  return v >= low && v <= high;
}

int32_t WriteSettings(int handle) {
  FeedbackFrame first[3] = {
      FeedbackFrame(FrameDirection::Write, kRegStreamScanRate, 2, FrameDataType::F32, 1000.0f),
      FeedbackFrame(FrameDirection::Write, kRegStreamChannelCount, 2, FrameDataType::U32,
                    kStreamScanValues),
      FeedbackFrame(FrameDirection::Write, kRegStreamSetting4006, 2, FrameDataType::U32, 0u),
  };
  int32_t code = FeedbackExchange(handle, 3, first);
  if (code != 0) return code;
  FeedbackFrame second[3] = {
      FeedbackFrame(FrameDirection::Write, kRegStreamSetting4010, 2, FrameDataType::F32, 0.0f),
      FeedbackFrame(FrameDirection::Write, kRegStreamSetting4014, 2, FrameDataType::U32, 2u),
      FeedbackFrame(FrameDirection::Write, kRegStreamChannelList, 8, FrameDataType::Bytes,
                    kChannelList),
  };
  return FeedbackExchange(handle, 3, second);
}

}  // namespace

void DecodeStreamBlock(const uint8_t* bytes, StreamBlock* block) {
  block->count = GetU32BE(bytes, kStreamBlockBytes, 0);
  uint32_t n = block->count < kStreamBlockRoom ? block->count : kStreamBlockRoom;
  for (uint32_t k = 0; k < n; ++k) block->values[k] = GetF32BE(bytes, kStreamBlockBytes, 8 + 4 * k);
}

const double kStreamWindows[2][2] = {{0.6, 0.7}, {3.7, 3.8}};

int JudgeStreamBlock(const StreamBlock& block) {
  if (block.count > kStreamBlockRoom) return kStreamOversizeBlock;
  for (uint32_t s = 0; s < block.count / kStreamScanValues; ++s) {
    const float* scan = block.values + kStreamScanValues * s;
    if (!Within(scan[0], kStreamWindows[0][0], kStreamWindows[0][1])) return kStreamBadChannel0;
    if (!Within(scan[1], kStreamWindows[1][0], kStreamWindows[1][1])) return kStreamBadChannel1;
  }
  return kStreamPassed;
}

const char* StreamFailureText(int status) {
  switch (status) {
    case kStreamBadChannel0:
      return "Channel 0, bad value.";
    case kStreamBadChannel1:
      return "Channel 1, bad value.";
    case kStreamOversizeBlock:
      return "Stream block claims more than 100 values.";
    default:
      return "";
  }
}

const char* StreamStepName(StreamStep step) {
  switch (step) {
    case StreamStep::kDacCodes:
      return "setting DAC codes";
    case StreamStep::kSettings:
      return "writing stream settings";
    case StreamStep::kStart:
      return "starting stream";
    case StreamStep::kRead:
      return "reading stream";
    case StreamStep::kStop:
      return "stopping stream";
    case StreamStep::kDone:
      break;
  }
  return "stream";
}

namespace {

// The judged channels' extremes over the block's whole scans (values that
// are no number are left out: the verdict names them).
void TrackExtremes(const StreamBlock& block, StreamResult* result) {
  const uint32_t n = block.count < kStreamBlockRoom ? block.count : kStreamBlockRoom;
  for (uint32_t s = 0; s < n / kStreamScanValues; ++s) {
    for (int c = 0; c < 2; ++c) {
      const float v = block.values[kStreamScanValues * s + c];
      result->lowest[c] = std::fmin(result->lowest[c], v);
      result->highest[c] = std::fmax(result->highest[c], v);
    }
  }
}

// Reads the running stream for seconds; kStreamPassed with *total scans'
// values in result, a judgement, or the exchange's code.
int32_t ReadStream(int handle, uint32_t seconds, StreamResult* result) {
  // 32-bit tick arithmetic: a wrap of the counter does no harm.
  const uint32_t start = static_cast<uint32_t>(platform::TickMs());
  result->total = 0;
  while (static_cast<uint32_t>(platform::TickMs()) - start < seconds * 1000u) {
    platform::SleepMs(kStreamPollMs);
    FeedbackFrame read[1] = {FeedbackFrame(FrameDirection::Read, kRegStreamData,
                                           kStreamBlockRegisters, FrameDataType::Bytes)};
    int32_t code = FeedbackExchange(handle, 1, read);
    if (code != 0) return code;
    StreamBlock block;
    DecodeStreamBlock(read[0].Bytes(), &block);
    TrackExtremes(block, result);
    int verdict = JudgeStreamBlock(block);
    if (verdict != kStreamPassed) {
      TextCopy(result->text, StreamFailureText(verdict));
      return verdict;
    }
    result->total += block.count;
  }
  return kStreamPassed;
}

}  // namespace

int StreamTest(int handle, uint32_t seconds, StreamResult* result) {
  result->text[0] = '\0';
  result->step = StreamStep::kDacCodes;
  int32_t code = WriteU32(handle, kRegDac0, 0x2000);
  if (code == 0) code = WriteU32(handle, kRegDac1, 0xC000);
  if (code != 0) return code;
  result->step = StreamStep::kSettings;
  code = WriteSettings(handle);
  if (code != 0) return code;
  result->step = StreamStep::kStart;
  code = WriteU32(handle, kRegStreamStart, 0);
  if (code != 0) return code;

  result->step = StreamStep::kRead;
  int32_t status = ReadStream(handle, seconds, result);
  if (status == kLinkStopped) {
    // The run stops on request: its stream goes with it. (After a failure
    // the stream runs on until the next opening of the device stops it.)
    platform::UncutScope uncut;
    WriteU32(handle, kRegStreamStop, 0);
  }
  if (status != kStreamPassed) return status;

  char piece[kPieceCapacity];
  TextFormat(piece, sizeof piece, "%u Stream Scans.", result->total / kStreamScanValues);
  TextCopy(result->text, "Passed ");
  TextAppend(result->text, piece);
  result->step = StreamStep::kStop;
  code = WriteU32(handle, kRegStreamStop, 0);
  if (code != 0) return code;
  result->step = StreamStep::kDone;
  return kStreamPassed;
}

namespace {

// Serial number and MAC address: what tells the device on Ethernet from
// another one answering at the fixed address.
struct DeviceIdentity {
  uint32_t serial = 0;
  uint8_t mac[6] = {};
};

int32_t ReadIdentity(int handle, DeviceIdentity* identity) {
  FeedbackFrame frames[2] = {
      FeedbackFrame(FrameDirection::Read, kRegMac, 3, FrameDataType::Bytes),
      FeedbackFrame(FrameDirection::Read, kRegSerialNumber, 2, FrameDataType::U32),
  };
  int32_t code = FeedbackExchange(handle, 2, frames);
  if (code != 0) return code;
  std::memcpy(identity->mac, frames[0].Bytes(), sizeof identity->mac);
  identity->serial = frames[1].U32(0);
  return 0;
}

bool SameIdentity(const DeviceIdentity& a, const DeviceIdentity& b) {
  return a.serial == b.serial && std::memcmp(a.mac, b.mac, sizeof a.mac) == 0;
}

void DescribeWrongDevice(const DeviceIdentity& seen, const DeviceIdentity& expected, char* msg,
                         size_t cap) {
  char seenMac[kMacTextCapacity];
  char expectedMac[kMacTextCapacity];
  FormatMac(seen.mac, seenMac);
  FormatMac(expected.mac, expectedMac);
  TextFormat(msg, cap, "Wrong device on Ethernet: SN %u MAC %s, expected SN %u MAC %s", seen.serial,
             seenMac, expected.serial, expectedMac);
}

// From here on the USB link is closed. Msg (set by the caller) is the plain
// text that the line's server and report readers match; which step failed,
// and why, goes to the run's record only. No handle is left in the context
// that a later test could use.
uint32_t FailAfterClose(TestContext* context, const char* step, const char* detail) {
  TextCopy(context->recordNote, step);
  if (detail != nullptr && detail[0] != '\0') {
    TextAppend(context->recordNote, ": ");
    TextAppend(context->recordNote, detail);
  }
  TextAppend(context->recordNote, " (USB closed)");
  context->EL = kLevelFatal;
  context->handle = 0;
  context->usbHandle = 0;
  return 1;
}

uint32_t CommFailAfterClose(TestContext* context, int32_t code, const char* step) {
  FailComm(context, code);
  return FailAfterClose(context, step, nullptr);
}

// A stream that did not pass: a judgement shows its own text; a stream that
// ran its full time but did not stop is the stop's communication error, not
// a pass, and so is a stop request; anything else is an internal error.
void FailStream(TestContext* context, int status, const StreamResult& stream) {
  const char* step = StreamStepName(stream.step);
  if (status == kStreamBadChannel0 || status == kStreamBadChannel1) {
    TextCopy(context->Msg, stream.text);
    FailAfterClose(context, step, nullptr);
  } else if (stream.step == StreamStep::kStop || status == kLinkStopped) {
    CommFailAfterClose(context, status, step);
  } else {
    // A link error while streaming, or a block the device could not send.
    SetFailureSource(context, status == kStreamOversizeBlock ? kSourceDevice : kSourceLink);
    char detail[kPieceCapacity];
    if (status == kStreamOversizeBlock) {
      TextCopy(detail, StreamFailureText(status));
    } else {
      TextFormat(detail, sizeof detail, "error %i", status);
    }
    TextCopy(context->Msg, "Internal Error");
    FailAfterClose(context, step, detail);
  }
}

}  // namespace

namespace {

void MeasureStream(TestContext* context, const StreamResult& stream) {
  Report(context, "Stream scans", stream.total / kStreamScanValues, "scans");
  static const char* const kNames[2][2] = {{"Stream channel 0 lowest", "Stream channel 0 highest"},
                                           {"Stream channel 1 lowest", "Stream channel 1 highest"}};
  for (int c = 0; c < 2; ++c) {
    Measure(context, kNames[c][0], stream.lowest[c], "V", kStreamWindows[c][0],
            kStreamWindows[c][1]);
    Measure(context, kNames[c][1], stream.highest[c], "V", kStreamWindows[c][0],
            kStreamWindows[c][1]);
  }
}

}  // namespace

uint32_t EthernetTest(TestContext* context) {
  context->EL = kLevelPassed;
  uint32_t address = 0;
  int32_t code = ReadU32(context->handle, kRegDeviceIp, &address);
  DeviceIdentity usb;
  if (code == 0) code = ReadIdentity(context->handle, &usb);
  if (code != 0) return FailComm(context, code);

  QXM_Close(context->handle);
  int tcp = 0;
  code = OpenDeviceLink("z5 device type", "tcp", platform::Setting("QX_DEVICE_IP"), &tcp);
  if (code != 0) return CommFailAfterClose(context, code, "opening Ethernet");
  code = ReadU32(tcp, kRegDeviceIp, &address);
  if (code != 0) {
    QXM_Close(tcp);
    return CommFailAfterClose(context, code, "reading address over Ethernet");
  }
  // Whatever answers at the fixed address gets every later request, the
  // calibration record included: it must be the device opened on USB.
  DeviceIdentity ethernet;
  code = ReadIdentity(tcp, &ethernet);
  if (code != 0) {
    QXM_Close(tcp);
    return CommFailAfterClose(context, code, "reading identity over Ethernet");
  }
  if (!SameIdentity(ethernet, usb)) {
    QXM_Close(tcp);
    DescribeWrongDevice(ethernet, usb, context->Msg, sizeof context->Msg);
    SetFailureSource(context, kSourceLink);  // another device answers at the address
    return FailAfterClose(context, "checking identity over Ethernet", nullptr);
  }

  StreamResult stream;
  int status = StreamTest(tcp, kEthernetStreamSeconds, &stream);
  MeasureStream(context, stream);
  if (status != kStreamPassed) {
    QXM_Close(tcp);
    FailStream(context, status, stream);
    return 0;
  }
  TextCopy(context->Msg, stream.text);
  context->ethernetHandle = tcp;
  context->handle = tcp;
  context->usbHandle = 0;
  return 0;
}

void AppendStreamLimits(std::string* text) {
  AppendLimits(text, "stream.Channel0", kStreamWindows[0], 2);
  AppendLimits(text, "stream.Channel1", kStreamWindows[1], 2);
}
