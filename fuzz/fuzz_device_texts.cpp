// What the tests decode from the device, on any bytes, through the tests
// themselves against the bench's device model: the device name (shown up to
// its first zero and never past its 40 bytes, left alone only when it fits
// the serial number, else replaced by the default name), the jig's data
// block (code, type and values taken from their places, the verdict from
// them), and a stream block (judged within its room).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/register_addresses.h"
#include "harness/context.h"
#include "platform/byte_order.h"
#include "production/settings_tests.h"
#include "production/stream_tests.h"
#include "qxm/mbap.h"
#include "qxm/qxm.h"
#include "qxm/qxm_backend.h"
#include "qxm/qxm_errors.h"
#include "server/server_tests.h"
#include "sim/feedback.h"
#include "sim/virtual_device.h"

namespace {

uint8_t g_jig[2 * kJigDataRegisters];

qxsim::VirtualDevice& Device() {
  static qxsim::VirtualDevice* device = [] {
    auto* d = new qxsim::VirtualDevice();
    // The jig's bus: the set-up is taken, the data block is the fuzzer's.
    d->Install([](qxsim::RegisterMap& map, qxsim::DeviceCore&) {
      map.Map(kRegJigSetup, kJigSetupRegisters,
              std::make_shared<qxsim::FunctionRegisters>(
                  nullptr, [](uint16_t, size_t, const uint16_t*) { return uint8_t{0}; }));
      map.Map(kRegJigData, kJigDataRegisters,
              std::make_shared<qxsim::FunctionRegisters>(
                  [](uint16_t address, size_t count, uint16_t* values) {
                    for (size_t i = 0; i < count; ++i) {
                      size_t at = 2 * (address - kRegJigData + i);
                      values[i] = static_cast<uint16_t>(g_jig[at] << 8 | g_jig[at + 1]);
                    }
                    return uint8_t{0};
                  },
                  nullptr));
    });
    return d;
  }();
  return *device;
}

// The device model behind a handle, as the library carries requests to it.
class ModelLink : public QxmBackend {
 public:
  int Exchange(unsigned char* buffer, int* errorAddress) override {
    size_t size = 6 + GetU16BE(buffer, QXM_BUFFER_SIZE, 4);
    if (size > QXM_BUFFER_SIZE) return QXM_ERR_REQUEST_TOO_LONG;
    bool restart = false;
    std::vector<uint8_t> reply = qxsim::AnswerRequest(Device(), buffer, size, &restart);
    if (reply.size() < kMbapHeaderSize) return QXM_ERR_REPLY_TIMEOUT;
    size_t body = 0;
    int code =
        CheckReplyHeader(reply.data(), GetU16BE(buffer, 8, 0), buffer[6], QXM_BUFFER_SIZE, &body);
    if (code == QXM_OK && reply.size() < kMbapHeaderSize + body) code = QXM_ERR_REPLY_TIMEOUT;
    if (code == QXM_OK)
      code = CheckReplyFunction(reply.data(), kMbapHeaderSize + body, errorAddress);
    if (code == QXM_OK) std::memcpy(buffer, reply.data(), kMbapHeaderSize + body);
    return code;
  }
};

int Handle() {
  static int handle = [] {
    int h = 0;
    QxmRegisterBackend(std::make_unique<ModelLink>(), &h);
    return h;
  }();
  return handle;
}

std::vector<uint8_t> DeviceNameBytes() {
  return Device().WithCore([](qxsim::DeviceCore& core) { return core.settings.name(); });
}

void CheckName(const uint8_t* name, int64_t serial) {
  Device().WithCore([name](qxsim::DeviceCore& core) {
    core.settings.SetName(std::string(reinterpret_cast<const char*>(name), kDeviceNameBytes));
  });
  TestContext context;
  context.handle = Handle();
  context.serialNumber = serial;
  DeviceName(&context);
  if (context.EL != kLevelPassed) std::abort();  // the model reads back what is written
  std::vector<uint8_t> now = DeviceNameBytes();
  std::string shown(reinterpret_cast<const char*>(now.data()),
                    strnlen(reinterpret_cast<const char*>(now.data()), kDeviceNameBytes));
  if (NameFitsSerial(name, serial)) {
    if (std::memcmp(now.data(), name, kDeviceNameBytes) != 0) std::abort();
    if (std::string("Name: ") + shown != context.Msg) std::abort();
  } else {
    char expected[kPieceCapacity];
    BuildDefaultName(serial, expected, sizeof expected);
    if (shown != expected || std::string("New Name: ") + expected != context.Msg) std::abort();
  }
}

void CheckJig(const uint8_t* block) {
  std::memcpy(g_jig, block, sizeof g_jig);
  TestContext context;
  context.handle = Handle();
  ReadTestJigInfo(&context);
  uint16_t lines = 0;
  if (Device().ReadRegisters(kRegDioGroupLevel, 1, &lines) != 0) std::abort();
  lines &= 31;
  uint32_t type = block[6] * 256u + block[7];
  if (context.jigCode != block[5] || context.jigType != type) std::abort();
  static const int kFloats[6] = {1, 2, 3, 5, 6, 7};
  for (int i = 0; i < 6; ++i) {
    float f = GetF32BE(block, sizeof g_jig, 4 + 4 * kFloats[i]);
    double wide = context.jigValues[i];
    float back = static_cast<float>(wide);
    if (std::memcmp(&f, &back, sizeof f) != 0 && !(f != f && back != back)) std::abort();
  }
  const char* verdict = block[5] != lines ? "Code mismatch: "
                        : type != 6       ? "Wrong Jig Type: "
                                          : "Jig found: ";
  std::string expected = std::string(verdict) + "(" + std::to_string(type) + "," +
                         std::to_string(block[5]) + "," + std::to_string(lines) + ")";
  if (expected != context.Msg) std::abort();
  if ((context.EL == kLevelPassed) != (verdict[0] == 'J')) std::abort();
}

void CheckStream(const uint8_t* bytes, size_t size) {
  // Exactly one block on the heap: no read past it.
  std::unique_ptr<uint8_t[]> block(new uint8_t[kStreamBlockBytes]());
  std::memcpy(block.get(), bytes, size < kStreamBlockBytes ? size : kStreamBlockBytes);
  StreamBlock decoded;
  DecodeStreamBlock(block.get(), &decoded);
  int verdict = JudgeStreamBlock(decoded);
  if ((decoded.count > kStreamBlockRoom) != (verdict == kStreamOversizeBlock)) std::abort();
  if (verdict != kStreamPassed) return;
  for (uint32_t k = 0; k + kStreamScanValues <= decoded.count; k += kStreamScanValues) {
    double c0 = decoded.values[k];
    double c1 = decoded.values[k + 1];
    if (!(c0 >= 0.6 && c0 <= 0.7 && c1 >= 3.7 && c1 <= 3.8)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kFixed = 8 + kDeviceNameBytes + 2 * kJigDataRegisters;
  if (size > kFixed + kStreamBlockBytes) return 0;
  std::vector<uint8_t> input(data, data + size);
  input.resize(kFixed, 0);
  int64_t serial = 0;
  std::memcpy(&serial, input.data(), sizeof serial);
  CheckName(input.data() + 8, serial);
  CheckJig(input.data() + 8 + kDeviceNameBytes);
  CheckStream(data + (size > kFixed ? kFixed : size), size > kFixed ? size - kFixed : 0);
  return 0;
}
