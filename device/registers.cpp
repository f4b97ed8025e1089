#include "device/registers.h"

#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/link_errors.h"
#include "device/register_addresses.h"

namespace {

// An address outside the 16-bit range stays outside it (the exchange refuses
// it) instead of wrapping onto another register.
uint32_t RegisterAddress(int64_t address) {
  return address < 0 || address > 0xFFFF ? 0x10000u : static_cast<uint32_t>(address);
}

FeedbackFrame U16Write(int64_t address, int32_t value) {
  return FeedbackFrame(FrameDirection::Write, RegisterAddress(address), 1, FrameDataType::U16,
                       value);
}

}  // namespace

int32_t ReadFloat(int handle, int address, float* value) {
  if (value == nullptr) return kLinkBadArgument;
  FeedbackFrame frame(FrameDirection::Read, RegisterAddress(address), 2, FrameDataType::F32);
  int32_t code = FeedbackExchange(handle, 1, &frame);
  *value = frame.F32(0);
  return code;
}

int32_t ReadU32(int handle, int address, uint32_t* value) {
  if (value == nullptr) return kLinkBadArgument;
  FeedbackFrame frame(FrameDirection::Read, RegisterAddress(address), 2, FrameDataType::U32);
  int32_t code = FeedbackExchange(handle, 1, &frame);
  *value = frame.U32(0);
  return code;
}

int32_t WriteU32(int handle, int address, uint32_t value) {
  FeedbackFrame frame(FrameDirection::Write, RegisterAddress(address), 2, FrameDataType::U32,
                      value);
  return FeedbackExchange(handle, 1, &frame);
}

int32_t WriteFloat(int handle, int address, float value) {
  FeedbackFrame frame(FrameDirection::Write, RegisterAddress(address), 2, FrameDataType::F32,
                      value);
  return FeedbackExchange(handle, 1, &frame);
}

int32_t WriteU16(int handle, int address, uint16_t value) {
  FeedbackFrame frame = U16Write(address, value);
  return FeedbackExchange(handle, 1, &frame);
}

int32_t WriteLinePair(int handle, int line, int32_t valueA, int32_t valueB) {
  FeedbackFrame frames[2] = {U16Write(int64_t{kRegDioLineDirection} + line, valueA),
                             U16Write(int64_t{kRegDioLine} + line, valueB)};
  return FeedbackExchange(handle, 2, frames);
}

int32_t ConfigureUsualChannel(int handle, int channel) {
  return ConfigureChannel(handle, channel, kRange10V, kResolutionHs, kSingleEnded, kSettlingUsual);
}

int32_t ConfigureChannel(int handle, int channel, int32_t value40500, int32_t value41000,
                         int32_t value40000, int32_t value41500) {
  FeedbackFrame frames[4] = {U16Write(int64_t{kRegChannelBank40500} + channel, value40500),
                             U16Write(int64_t{kRegChannelBank41000} + channel, value41000),
                             U16Write(int64_t{kRegChannelBank41500} + channel, value41500),
                             U16Write(int64_t{kRegChannelBank40000} + channel, value40000)};
  return FeedbackExchange(handle, 4, frames);
}
