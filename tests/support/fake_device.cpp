#include "tests/support/fake_device.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "device/flash_map.h"
#include "platform/byte_order.h"
#include "qxm/qxm.h"
#include "qxm/qxm_errors.h"

namespace {

constexpr size_t kHeader = 8;
constexpr uint8_t kFunction = 76;
constexpr uint8_t kFailureFill = 0x5A;

FakeDevice* g_openTarget = nullptr;

// Holds a slot of the handle table for a moment, to learn which handle the
// next registration gets.
class NullBackend : public QxmBackend {
 public:
  int Exchange(unsigned char*, int*) override { return QXM_ERR_INVALID_HANDLE; }
};

struct Region {
  uint32_t base;
  uint32_t size;
  uint32_t key;
};

constexpr Region kRegions[] = {
    {kFirmwareBase, kFirmwarePages* kFlashPageSize, kFirmwareKey},
    {kInfoPageBase, kFlashPageSize, kInfoPageKey},
    {kConfigPageBase, kFlashPageSize, kConfigPageKey},
    {kCalibrationPageBase, kFlashPageSize, kCalibrationPageKey},
};

const Region* FindRegion(uint32_t address, uint32_t length) {
  for (const Region& region : kRegions) {
    if (address >= region.base && length <= region.size &&
        address - region.base <= region.size - length) {
      return &region;
    }
  }
  return nullptr;
}

}  // namespace

// What the library holds behind a handle: forwards to the device and tells it
// when the handle is closed.
class FakeDevice::Backend : public QxmBackend {
 public:
  explicit Backend(FakeDevice* device) : device_(device) {}
  ~Backend() override {
    if (device_ != nullptr) device_->Forget(handle_);
  }
  int Exchange(unsigned char* buffer, int* errorAddress) override {
    return device_->Exchange(buffer, errorAddress);
  }
  void SetHandle(int handle) { handle_ = handle; }

 private:
  FakeDevice* device_;
  int handle_ = 0;
};

FakeDevice::FakeDevice() : registers_(65536, 0), flash_(kFlashSize, 0xFF) { handle_ = Attach(); }

FakeDevice::~FakeDevice() {
  if (g_openTarget == this) {
    g_openTarget = nullptr;
    QxmSetOpenHook(nullptr);
  }
  // Closing a handle destroys its backend, which takes it out of the set.
  const std::set<int> open = openHandles_;
  for (int handle : open) QXM_Close(handle);
}

int FakeDevice::Attach() {
  auto backend = std::make_unique<Backend>(this);
  Backend* raw = backend.get();
  int handle = 0;
  if (QxmRegisterBackend(std::move(backend), &handle) != QXM_OK) return 0;
  raw->SetHandle(handle);
  openHandles_.insert(handle);
  return handle;
}

void FakeDevice::ServeOpens() {
  g_openTarget = this;
  QxmSetOpenHook(&FakeDevice::OpenHook);
}

void FakeDevice::FailNextOpens(int code, int count) {
  for (int i = 0; i < count; ++i) openFailures_.push_back(code);
}

int FakeDevice::OpenHook(const char* deviceType, const char* connectionType, const char* identifier,
                         std::unique_ptr<QxmBackend>* out) {
  FakeDevice* device = g_openTarget;
  if (device == nullptr) return QXM_ERR_NO_ANSWER;
  device->openCalls_.push_back({deviceType, connectionType, identifier});
  if (!device->openFailures_.empty()) {
    const int code = device->openFailures_.front();
    device->openFailures_.pop_front();
    return code;
  }
  // The library registers the backend in the lowest free slot right after
  // this hook returns; taking and freeing that slot here tells which handle
  // it will be, so that the device can close it when it goes away.
  int next = 0;
  if (QxmRegisterBackend(std::make_unique<NullBackend>(), &next) != QXM_OK) {
    return QXM_ERR_TOO_MANY_HANDLES;
  }
  QXM_Close(next);
  auto backend = std::make_unique<Backend>(device);
  backend->SetHandle(next);
  device->openHandles_.insert(next);
  device->openedHandles_.push_back(next);
  *out = std::move(backend);
  return QXM_OK;
}

void FakeDevice::SetU16(uint32_t address, uint16_t value) { registers_[address & 0xFFFF] = value; }

void FakeDevice::SetU32(uint32_t address, uint32_t value) {
  SetU16(address, static_cast<uint16_t>(value >> 16));
  SetU16(address + 1, static_cast<uint16_t>(value));
}

void FakeDevice::SetF32(uint32_t address, float value) { SetU32(address, FloatBits(value)); }

uint16_t FakeDevice::GetU16(uint32_t address) const { return registers_[address & 0xFFFF]; }

uint32_t FakeDevice::GetU32(uint32_t address) const {
  return (static_cast<uint32_t>(GetU16(address)) << 16) | GetU16(address + 1);
}

float FakeDevice::GetF32(uint32_t address) const { return FloatFromBits(GetU32(address)); }

void FakeDevice::SetFlash(uint32_t address, const uint8_t* data, size_t length) {
  if (address >= kFlashSize || data == nullptr) return;
  const size_t n = std::min<size_t>(length, kFlashSize - address);
  std::memcpy(flash_.data() + address, data, n);
}

void FakeDevice::FailNext(int code, int count) {
  for (int i = 0; i < count; ++i) failures_.push_back(code);
}

void FakeDevice::TruncateNextReply(size_t dataBytes, int count) {
  truncateTo_ = dataBytes;
  truncateCount_ = count;
}

bool FakeDevice::KeyFits(uint32_t address, uint32_t length) const {
  const Region* region = FindRegion(address, length);
  return region != nullptr && keySet_ && key_ == region->key;
}

int FakeDevice::EraseFlashPage(uint32_t address) {
  const uint32_t page = address & kFlashPageMask;
  if (!KeyFits(page, kFlashPageSize)) return kFlashRefusedCode;
  std::memset(flash_.data() + page, 0xFF, kFlashPageSize);
  ++eraseCount_;
  erasedPages_.push_back(page);
  return QXM_OK;
}

int FakeDevice::WriteFlashWindow(const uint8_t* block, uint32_t length) {
  const uint32_t target = GetU32BE(block, 4, 0);
  if (!KeyFits(target, length)) return kFlashRefusedCode;
  // Flash programming can only clear bits.
  for (uint32_t i = 0; i < length; ++i) flash_[target + i] &= block[4 + i];
  ++flashWriteCount_;
  return QXM_OK;
}

int FakeDevice::ApplyWrite(uint32_t address, uint32_t count, const uint8_t* data) {
  for (uint32_t i = 0; i < count; ++i) SetU16(address + i, GetU16BE(data, 2 * count, 2 * i));
  int code = QXM_OK;
  if (address == kRegFlashKey && count == 2) {
    key_ = GetU32BE(data, 4, 0);
    keySet_ = true;
  } else if (address == kRegFlashReadPointer && count == 2) {
    readPointer_ = GetU32BE(data, 4, 0);
  } else if (address == kRegFlashErase && count == 2) {
    code = EraseFlashPage(GetU32BE(data, 4, 0));
  } else if (address == kRegFlashWriteWindow && count >= 2) {
    code = WriteFlashWindow(data, (count - 2) * 2);
  }
  if (code == QXM_OK && writeHook_) code = writeHook_(address, count);
  return code;
}

int FakeDevice::ReadRegister(uint32_t address, uint16_t* value) {
  const uint32_t window = kRegFlashReadWindow;
  if (address >= window && address < window + kFlashReadWindowRegisters) {
    const uint32_t at = readPointer_ + 2 * (address - window);
    if (readPointer_ >= kFlashSize || at + 2 > kFlashSize) return kFlashRefusedCode;
    *value = GetU16BE(flash_.data(), flash_.size(), at);
    return QXM_OK;
  }
  *value = GetU16(address);
  return QXM_OK;
}

int FakeDevice::Exchange(unsigned char* buffer, int* errorAddress) {
  if (errorAddress != nullptr) *errorAddress = 0;
  const size_t declared = GetU16BE(buffer, QXM_BUFFER_SIZE, 4);
  const size_t total = std::min<size_t>(declared + 6, QXM_BUFFER_SIZE);
  // A copy of its own: the reply overwrites the buffer, and a hook may clear
  // the record.
  const std::vector<uint8_t> request(buffer, buffer + total);
  requests_.push_back(request);

  if (!failures_.empty()) {
    const int code = failures_.front();
    failures_.pop_front();
    if (code != QXM_OK) {
      // A failed exchange may leave anything in the buffer: leave a reply that
      // looks complete, so that a caller decoding after a failure shows it.
      PutU16BE(buffer, QXM_BUFFER_SIZE, 4, static_cast<uint16_t>(QXM_BUFFER_SIZE - 6));
      std::memset(buffer + kHeader, kFailureFill, QXM_BUFFER_SIZE - kHeader);
      return code;
    }
  }
  if (declared + 6 > QXM_BUFFER_SIZE || total < kHeader || request[7] != kFunction) {
    return kMalformedRequestCode;
  }
  // The key holds for the exchange it was written in only.
  keySet_ = false;
  std::vector<uint8_t> reply;
  size_t pos = kHeader;
  while (pos < total) {
    if (pos + 4 > total) return kMalformedRequestCode;
    const bool write = request[pos] == 1;
    if (request[pos] > 1) return kMalformedRequestCode;
    const uint32_t address = GetU16BE(request.data(), request.size(), pos + 1);
    const uint32_t count = request[pos + 3];
    pos += 4;
    if (write) {
      if (pos + 2 * count > total) return kMalformedRequestCode;
      int code = ApplyWrite(address, count, &request[pos]);
      if (code != QXM_OK) return code;
      pos += 2 * count;
    } else {
      for (uint32_t i = 0; i < count; ++i) {
        uint16_t value = 0;
        int code = ReadRegister(address + i, &value);
        if (code != QXM_OK) return code;
        reply.push_back(static_cast<uint8_t>(value >> 8));
        reply.push_back(static_cast<uint8_t>(value));
      }
      if (address == kRegFlashReadWindow) ++flashReadCount_;
    }
  }
  if (kHeader + reply.size() > QXM_BUFFER_SIZE) return kReplyTooLongCode;
  if (truncateCount_ > 0) {
    --truncateCount_;
    if (reply.size() > truncateTo_) reply.resize(truncateTo_);
  }
  // The reply keeps the request's transaction and protocol identifiers and
  // unit; what follows the header is its data alone.
  std::memset(buffer + kHeader, 0, QXM_BUFFER_SIZE - kHeader);
  PutU16BE(buffer, QXM_BUFFER_SIZE, 4, static_cast<uint16_t>(reply.size() + 2));
  buffer[7] = kFunction;
  if (!reply.empty()) std::memcpy(buffer + kHeader, reply.data(), reply.size());
  return QXM_OK;
}
