// The station's own costs, without a link: packing and unpacking feedback
// packets, one register read through the device-access library into qxsim's
// device in-process, loading a firmware file, and the bounded text helpers.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "base/text.h"
#include "device/feedback_exchange.h"
#include "device/registers.h"
#include "fwpack/firmware_pack.h"
#include "qxm/mbap.h"
#include "qxm/qxm.h"
#include "qxm/qxm_backend.h"
#include "sim/core/protocol.h"
#include "sim/feedback.h"
#include "sim/virtual_device.h"
#include "upgrade/firmware_file.h"

namespace {

// Pack a request of n read frames (two registers each), then unpack a reply
// that carries their values.
void BM_PackAndUnpack(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  std::vector<FeedbackFrame> frames;
  for (int i = 0; i < n; ++i) {
    frames.emplace_back(FrameDirection::Read, 60000 + 2 * (i % 10), 2, FrameDataType::U32);
  }
  uint8_t request[QXM_BUFFER_SIZE];
  uint8_t reply[QXM_BUFFER_SIZE] = {};
  size_t replyData = 0;
  if (PackFeedbackRequest(n, frames.data(), request, &replyData) != 0) {
    state.SkipWithError("the frames do not pack");
    return;
  }
  reply[5] = static_cast<uint8_t>(2 + replyData);
  reply[4] = static_cast<uint8_t>((2 + replyData) >> 8);
  reply[7] = kFeedbackFunction;
  for (size_t i = 0; i < replyData; ++i) reply[8 + i] = static_cast<uint8_t>(i);
  for (auto _ : state) {
    PackFeedbackRequest(n, frames.data(), request, &replyData);
    benchmark::DoNotOptimize(request);
    int32_t code = UnpackFeedbackReply(reply, n, frames.data(), replyData);
    benchmark::DoNotOptimize(code);
  }
}
BENCHMARK(BM_PackAndUnpack)->Arg(1)->Arg(4)->Arg(64);

// qxsim's device behind the library, answered in the caller's thread.
class DeviceBackend : public QxmBackend {
 public:
  explicit DeviceBackend(qxsim::VirtualDevice& device) : device_(device) {}
  int Exchange(unsigned char* buffer, int* errorAddress) override {
    size_t size = RequestSize(buffer, QXM_BUFFER_SIZE);
    bool restart = false;
    size_t n = qxsim::AnswerRequest(device_, buffer, size, reply_, &restart);
    int code = CheckReplyFunction(reply_, n, errorAddress);
    if (code == 0) std::memcpy(buffer, reply_, n);
    return code;
  }

 private:
  qxsim::VirtualDevice& device_;
  uint8_t reply_[qxsim::kMaxPacketBytes];
};

void BM_ReadU32InProcess(benchmark::State& state) {
  qxsim::VirtualDevice device;
  int handle = 0;
  if (QxmRegisterBackend(std::make_unique<DeviceBackend>(device), &handle) != 0) {
    state.SkipWithError("no handle");
    return;
  }
  uint32_t value = 0;
  for (auto _ : state) {
    if (ReadU32(handle, 60000, &value) != 0) state.SkipWithError("read failed");
    benchmark::DoNotOptimize(value);
  }
  QXM_Close(handle);
}
BENCHMARK(BM_ReadU32InProcess);

// A file of one 120-page image, loaded and walked as the upgrade does.
void BM_FirmwareFileLoad(benchmark::State& state) {
  PackedImage image;
  image.fwVersionBits = VersionBits(1.25f);
  image.body = GeneratedBody(120 * 4096, 7);
  std::string path = (std::filesystem::temp_directory_path() / "qx_bench_firmware.bin").string();
  std::string error;
  if (!WriteFileBytes(path, PackFirmware({image}, PackOptions()), &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  for (auto _ : state) {
    FirmwareFile file(path.c_str());
    uint16_t count = 0;
    ImageInfo info;
    const uint8_t* data = nullptr;
    file.GetImageCount(&count);
    file.GetImageInfo(0, &info);
    file.GetImageData(0, &data);
    benchmark::DoNotOptimize(data);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (120 * 4096 + 128));
  std::filesystem::remove(path);
}
BENCHMARK(BM_FirmwareFileLoad);

void BM_TextCopyAndAppend(benchmark::State& state) {
  char text[kTextCapacity];
  for (auto _ : state) {
    TextCopy(text, "Firmware upgrade: ");
    TextAppend(text, "page 120 of 120 written and verified");
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_TextCopyAndAppend);

void BM_TextFormat(benchmark::State& state) {
  char text[kTextCapacity];
  for (auto _ : state) {
    TextFormat(text, sizeof text, "Passed %d scans, %.3f V at %s", 5000, 2.4951, "AIN0");
    benchmark::DoNotOptimize(text);
  }
}
BENCHMARK(BM_TextFormat);

}  // namespace
