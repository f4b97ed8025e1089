#include "tests/support/bench_device.h"

#include <cstring>

#include "platform/clock.h"
#include "qxm/mbap.h"
#include "qxm/qxm.h"
#include "qxm/qxm_errors.h"
#include "sim/feedback.h"

namespace {

BenchDevice* g_serving = nullptr;

// Holds a handle slot for a moment, to learn which handle the library gives
// the backend that an open hook returns.
class NullBackend : public QxmBackend {
 public:
  int Exchange(unsigned char*, int*) override { return QXM_ERR_INVALID_HANDLE; }
};

}  // namespace

// One connection onto the device, as a handle of the library holds it.
class BenchDevice::Backend : public QxmBackend {
 public:
  Backend(BenchDevice* device, int handle) : device(device), handle(handle), boot(device->boots_) {
    device->handles_.insert(handle);
  }
  ~Backend() override { device->handles_.erase(handle); }
  int Exchange(unsigned char* buffer, int* errorAddress) override {
    return device->Exchange(*this, buffer, errorAddress);
  }

  BenchDevice* device;
  int handle;
  int boot;  // the power-on the connection was made in
  bool connected = true;
  uint16_t transaction = 0;
};

namespace {

// A slow reply on the clock in force. The device has acted; a reply later
// than the library waits is lost to it, as on TCP, once the time-out has passed.
int HoldOnClock(uint32_t ms) {
  const uint32_t timeoutMs = QxmReplyTimeoutMs();
  const bool late = ms > timeoutMs;
  const uint32_t waitMs = late ? timeoutMs : ms;
  auto* fake = dynamic_cast<platform::FakeClock*>(&platform::GetClock());
  if (fake != nullptr) {
    fake->Advance(waitMs);
  } else {
    platform::SleepMs(waitMs);
  }
  return late ? QXM_ERR_REPLY_TIMEOUT : QXM_OK;
}

}  // namespace

BenchDevice::BenchDevice(qxsim::BenchOptions options)
    : bench_(std::move(options)), device_(bench_.device()), faults_(device_, HoldOnClock) {
  int next = 0;
  if (QxmRegisterBackend(std::make_unique<NullBackend>(), &next) == QXM_OK) {
    QXM_Close(next);
    QxmRegisterBackend(std::make_unique<Backend>(this, next), &handle_);
  }
  g_serving = this;
  QxmSetOpenHook(&BenchDevice::OpenHook);
}

BenchDevice::~BenchDevice() {
  if (g_serving == this) {
    g_serving = nullptr;
    QxmSetOpenHook(nullptr);
  }
  const std::set<int> open = handles_;
  for (int handle : open) QXM_Close(handle);
}

void BenchDevice::FailOpens(int code, int count) {
  for (int i = 0; i < count; ++i) openFailures_.push_back(code);
}

void BenchDevice::AddScratchRegisters(uint16_t first, size_t count) {
  // Only where the model has no register of its own: the runs in between.
  model().Install([&](qxsim::RegisterMap& map, qxsim::DeviceCore&) {
    size_t i = 0;
    while (i < count) {
      if (map.IsMapped(static_cast<uint16_t>(first + i))) {
        ++i;
        continue;
      }
      size_t n = 1;
      while (i + n < count && !map.IsMapped(static_cast<uint16_t>(first + i + n))) ++n;
      const uint16_t at = static_cast<uint16_t>(first + i);
      map.Map(at, n, std::make_shared<qxsim::StoredRegisters>(at, n));
      i += n;
    }
  });
}

void BenchDevice::DropLinkFor(uint64_t ms) {
  const uint64_t now = platform::TickMs();
  downUntil_ = ms > UINT64_MAX - now ? UINT64_MAX : now + ms;
}

bool BenchDevice::LinkDown() { return downUntil_ != 0 && platform::TickMs() < downUntil_; }

bool BenchDevice::Reachable() {
  if (away_ && platform::TickMs() >= awayUntil_) {
    model().PowerOn();
    away_ = false;
  }
  return !away_;
}

int BenchDevice::OpenHook(const char* deviceType, const char* connectionType,
                          const char* identifier, std::unique_ptr<QxmBackend>* out) {
  BenchDevice* device = g_serving;
  if (device == nullptr) return QXM_ERR_NO_ANSWER;
  device->recorder_.KeepOpen({deviceType, connectionType, identifier});
  if (!device->openFailures_.empty()) {
    const int code = device->openFailures_.front();
    device->openFailures_.pop_front();
    return code;
  }
  if (!device->Reachable() || device->LinkDown()) return QXM_ERR_REFUSED;
  // The library puts the backend in the lowest free slot right after this.
  int next = 0;
  if (QxmRegisterBackend(std::make_unique<NullBackend>(), &next) != QXM_OK) {
    return QXM_ERR_TOO_MANY_HANDLES;
  }
  QXM_Close(next);
  *out = std::make_unique<Backend>(device, next);
  device->lastOpened_ = next;
  return QXM_OK;
}

// The TCP transport's side of an exchange, with the device in place of the
// socket: a failure other than a device exception ends the connection, and
// the next exchange makes a new one.
int BenchDevice::Exchange(Backend& link, unsigned char* buffer, int* errorAddress) {
  const size_t size = RequestSize(buffer, QXM_BUFFER_SIZE);
  if (size == 0) return QXM_ERR_REQUEST_TOO_LONG;
  if (hook_) hook_(Bytes(buffer, buffer + size));
  if (LinkDown()) {
    link.connected = false;
    return QXM_ERR_CONNECTION_LOST;
  }
  if (!link.connected) {
    if (!Reachable()) return QXM_ERR_CONNECTION_LOST;
    link.connected = true;
    link.boot = boots_;
  }
  recorder_.KeepRequest(buffer, size);
  int code = QXM_OK;
  size_t replySize = 0;
  unsigned char frame[QXM_BUFFER_SIZE];
  std::memcpy(frame, buffer, size);
  const uint16_t transaction = ++link.transaction;
  frame[0] = static_cast<uint8_t>(transaction >> 8);
  frame[1] = static_cast<uint8_t>(transaction);
  size_t have = 0;
  if (link.boot != boots_) {
    code = QXM_ERR_CONNECTION_LOST;  // the restart dropped the connection
  } else {
    int unused = 0;
    code = faults_.Exchange(frame, &unused);
    have = faults_.replyBytes();
    if (device_.TakeRestartRequest()) {
      ++boots_;
      away_ = true;
      awayUntil_ = platform::TickMs() + bench_.options().restartMs;
    }
  }
  if (code == QXM_OK && have < kMbapHeaderSize) code = QXM_ERR_REPLY_TIMEOUT;
  if (code == QXM_OK) {
    size_t body = 0;
    code = CheckReplyHeader(frame, transaction, buffer[6], QXM_BUFFER_SIZE, &body);
    replySize = kMbapHeaderSize + body;
    // A reply shorter than its length field leaves the reader waiting.
    if (code == QXM_OK && have < replySize) code = QXM_ERR_REPLY_TIMEOUT;
  }
  if (code == QXM_OK) code = CheckReplyFunction(frame, replySize, errorAddress);
  if (code == QXM_OK) {
    std::memcpy(buffer, frame, replySize);
    buffer[0] = buffer[1] = 0;  // the caller sees the transaction it sent
  }
  if (code != QXM_OK && code < QXM_ERR_DEVICE_EXCEPTION_BASE) link.connected = false;
  return code;
}
