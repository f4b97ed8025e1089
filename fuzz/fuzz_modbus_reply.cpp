// Any reply from the device, through the library's reply checks and the
// exchange's decoding into read frames of each type. The first byte chooses
// the frames and whether the reply's header is made to match the request, so
// that the decoding is reached as often as the checks.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "platform/byte_order.h"
#include "qxm/mbap.h"
#include "qxm/qxm.h"
#include "qxm/qxm_backend.h"
#include "qxm/qxm_errors.h"

namespace {

const uint8_t* g_data = nullptr;
size_t g_size = 0;
uint8_t g_control = 0;

class FuzzedDevice : public QxmBackend {
 public:
  int Exchange(unsigned char* buffer, int* errorAddress) override {
    std::vector<uint8_t> reply(g_data, g_data + g_size);
    if ((g_control & 1) != 0 && reply.size() >= kMbapHeaderSize) {
      std::memcpy(reply.data(), buffer, 2);  // transaction
      reply[2] = 0;
      reply[3] = 0;
      reply[6] = buffer[6];
      if ((g_control & 2) != 0) {
        PutU16BE(reply.data(), reply.size(), 4, static_cast<uint16_t>(reply.size() - 6));
      }
    }
    if (reply.size() < kMbapHeaderSize) return QXM_ERR_REPLY_TIMEOUT;
    size_t body = 0;
    int code =
        CheckReplyHeader(reply.data(), GetU16BE(buffer, 8, 0), buffer[6], QXM_BUFFER_SIZE, &body);
    if (code != QXM_OK) return code;
    size_t total = kMbapHeaderSize + body;
    if (total > reply.size()) return QXM_ERR_REPLY_TIMEOUT;
    code = CheckReplyFunction(reply.data(), total, errorAddress);
    if (code != QXM_OK) return code;
    std::memcpy(buffer, reply.data(), total);
    return QXM_OK;
  }
};

int OpenFuzzed(const char*, const char*, const char*, std::unique_ptr<QxmBackend>* out) {
  out->reset(new FuzzedDevice());
  return QXM_OK;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > QXM_BUFFER_SIZE + 1) return 0;
  static int handle = [] {
    QxmSetOpenHook(OpenFuzzed);
    int h = 0;
    QXM_Open("z5", "usb", "fuzz", &h);
    return h;
  }();
  g_control = data[0];
  g_data = data + 1;
  g_size = size - 1;

  const FrameDataType types[4] = {FrameDataType::Bytes, FrameDataType::U16, FrameDataType::U32,
                                  FrameDataType::F32};
  FrameDataType type = types[(g_control >> 2) & 3];
  uint32_t count = 2u + 2u * ((g_control >> 4) & 7);
  FeedbackFrame frames[3] = {
      FeedbackFrame(FrameDirection::Write, 61800, 2, FrameDataType::U32),
      FeedbackFrame(FrameDirection::Read, 60000, count, type),
      FeedbackFrame(FrameDirection::Read, 60028, 2, FrameDataType::U32),
  };
  FeedbackExchange(handle, (g_control & 0x80) != 0 ? 3 : 2, frames);
  return 0;
}
