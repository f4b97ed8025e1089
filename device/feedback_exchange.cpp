#include "device/feedback_exchange.h"

#include <array>
#include <cstring>

#include "device/link_errors.h"
#include "device/register_addresses.h"
#include "platform/byte_order.h"
#include "platform/stop_request.h"
#include "qxm/qxm.h"

namespace {

using Packet = std::array<uint8_t, QXM_BUFFER_SIZE>;
constexpr size_t kPacketSize = QXM_BUFFER_SIZE;

bool IsWrite(const FeedbackFrame& frame) { return frame.direction() == FrameDirection::Write; }

// Reply bytes that a read frame takes: its registers' worth whatever the type,
// so that the frames after it stay aligned.
size_t WireBytes(const FeedbackFrame& frame) { return frame.ByteCount(); }

// Checks one frame on its own; 0 when it can go on the wire as it stands.
int32_t CheckFrame(const FeedbackFrame& frame) {
  if (frame.direction() != FrameDirection::Read && frame.direction() != FrameDirection::Write) {
    return kLinkBadDirection;
  }
  if (static_cast<uint32_t>(frame.dataType()) > static_cast<uint32_t>(FrameDataType::Reserved)) {
    return kLinkBadDataType;
  }
  if (frame.registerCount() > kMaxFrameRegisters) return kLinkTooManyRegisters;
  // Only the low 16 bits would go on the wire: a larger address would reach
  // another register.
  if (frame.address() > 0xFFFF) return kLinkBadAddress;
  // Two registers per value: an odd count would leave half a value unsent.
  if ((frame.dataType() == FrameDataType::U32 || frame.dataType() == FrameDataType::F32) &&
      frame.registerCount() % 2 != 0) {
    return kLinkOddValueCount;
  }
  return 0;
}

// Checks the whole list and sums what the reply must carry.
int32_t CheckList(int frameCount, const FeedbackFrame* frames, size_t* replyData) {
  if (frameCount < 0 || (frameCount > 0 && frames == nullptr)) return kLinkBadArgument;
  size_t request = kFeedbackHeaderSize;
  size_t reply = 0;
  for (int i = 0; i < frameCount; ++i) {
    const FeedbackFrame& frame = frames[i];
    int32_t code = CheckFrame(frame);
    if (code != 0) return code;
    request += kFeedbackRecordSize + (IsWrite(frame) ? WireBytes(frame) : 0);
    if (!IsWrite(frame)) reply += WireBytes(frame);
  }
  if (request > QXM_BUFFER_SIZE) return kLinkRequestTooLong;
  if (kFeedbackHeaderSize + reply > QXM_BUFFER_SIZE) return kLinkReplyTooLong;
  *replyData = reply;
  return 0;
}

void EncodeData(const FeedbackFrame& frame, uint8_t* p, size_t pos) {
  const size_t size = kPacketSize;
  switch (frame.dataType()) {
    case FrameDataType::Bytes:
      if (frame.ByteCount() > 0 && FitsAt(size, pos, frame.ByteCount())) {
        std::memcpy(p + pos, frame.Bytes(), frame.ByteCount());
      }
      break;
    case FrameDataType::U16:
      for (size_t i = 0; i < frame.U16Count(); ++i) PutU16BE(p, size, pos + 2 * i, frame.U16(i));
      break;
    case FrameDataType::U32:
    case FrameDataType::F32:
      // The f32 view is the u32 view's bit pattern.
      for (size_t i = 0; i < frame.U32Count(); ++i) PutU32BE(p, size, pos + 4 * i, frame.U32(i));
      break;
    default:
      break;  // Reserved: the packet's zeros stand.
  }
}

void DecodeData(const uint8_t* p, size_t pos, FeedbackFrame* frame) {
  const size_t size = kPacketSize;
  switch (frame->dataType()) {
    case FrameDataType::Bytes:
      if (frame->ByteCount() > 0 && FitsAt(size, pos, frame->ByteCount())) {
        std::memcpy(frame->Bytes(), p + pos, frame->ByteCount());
      }
      break;
    case FrameDataType::U16:
      for (size_t i = 0; i < frame->U16Count(); ++i) {
        frame->SetU16(i, GetU16BE(p, size, pos + 2 * i));
      }
      break;
    case FrameDataType::U32:
    case FrameDataType::F32:
      for (size_t i = 0; i < frame->U32Count(); ++i) {
        frame->SetU32(i, GetU32BE(p, size, pos + 4 * i));
      }
      break;
    default:
      break;  // Reserved: its data are skipped.
  }
}

size_t BuildRequest(int frameCount, const FeedbackFrame* frames, uint8_t* p) {
  std::memset(p, 0, kPacketSize);
  p[7] = kFeedbackFunction;
  size_t pos = kFeedbackHeaderSize;
  for (int i = 0; i < frameCount; ++i) {
    const FeedbackFrame& frame = frames[i];
    p[pos] = IsWrite(frame) ? 1 : 0;
    PutU16BE(p, kPacketSize, pos + 1, static_cast<uint16_t>(frame.address()));
    p[pos + 3] = static_cast<uint8_t>(frame.registerCount());
    pos += kFeedbackRecordSize;
    if (IsWrite(frame)) {
      EncodeData(frame, p, pos);
      pos += WireBytes(frame);
    }
  }
  PutU16BE(p, kPacketSize, 4, static_cast<uint16_t>(pos - 6));
  return pos;
}

// Decodes the read frames, all or none: a reply whose length field promises
// less than they need is refused before any frame changes.
int32_t DecodeReply(const uint8_t* packet, int frameCount, FeedbackFrame* frames,
                    size_t replyData) {
  const size_t length = GetU16BE(packet, kPacketSize, 4);
  // The length counts the unit identifier and the function code before the data.
  size_t available = length >= 2 ? length - 2 : 0;
  if (available > QXM_BUFFER_SIZE - kFeedbackHeaderSize) {
    available = QXM_BUFFER_SIZE - kFeedbackHeaderSize;
  }
  if (available < replyData) return kLinkShortReply;
  size_t pos = kFeedbackHeaderSize;
  for (int i = 0; i < frameCount; ++i) {
    FeedbackFrame& frame = frames[i];
    if (IsWrite(frame)) continue;
    DecodeData(packet, pos, &frame);
    pos += WireBytes(frame);
  }
  return 0;
}

// Reads the device's error registers after a failure. Its buffer is a full
// packet buffer: the library may write a reply of up to that size into it.
void SendFollowUp(int handle) {
  Packet followUp{};
  uint8_t* p = followUp.data();
  PutU16BE(p, followUp.size(), 4, 6);
  p[7] = kFeedbackFunction;
  p[8] = 0;
  PutU16BE(p, followUp.size(), 9, static_cast<uint16_t>(kRegErrorDetail));
  p[11] = static_cast<uint8_t>(kFollowUpRegisterCount);
  int errorAddress = 0;
  // Its result is not used: the first exchange's code stands.
  (void)QXM_MBFBComm(handle, 0, p, &errorAddress);
}

}  // namespace

bool NeedsFollowUp(int32_t code) {
  return code != 0 && ((static_cast<uint32_t>(code) & 0xFu) == 3u || code == kFollowUpCode);
}

int32_t PackFeedbackRequest(int frameCount, const FeedbackFrame* frames, uint8_t* packet,
                            size_t* replyData) {
  int32_t code = CheckList(frameCount, frames, replyData);
  if (code != 0) return code;
  BuildRequest(frameCount, frames, packet);
  return 0;
}

int32_t UnpackFeedbackReply(const uint8_t* packet, int frameCount, FeedbackFrame* frames,
                            size_t replyData) {
  return DecodeReply(packet, frameCount, frames, replyData);
}

int32_t FeedbackExchange(int handle, int frameCount, FeedbackFrame* frames) {
  Packet packet;
  size_t replyData = 0;
  int32_t code = PackFeedbackRequest(frameCount, frames, packet.data(), &replyData);
  if (code != 0) return code;
  // A stop request is taken here, between operations: an exchange that has
  // started is always finished.
  if (platform::StopDue()) return kLinkStopped;
  int errorAddress = 0;
  code = QXM_MBFBComm(handle, 0, packet.data(), &errorAddress);
  if (code == 0) return DecodeReply(packet.data(), frameCount, frames, replyData);
  if (NeedsFollowUp(code)) SendFollowUp(handle);
  return code;
}
