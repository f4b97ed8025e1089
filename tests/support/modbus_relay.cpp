#include "tests/support/modbus_relay.h"

#include <cstring>

#include "platform/byte_order.h"
#include "platform/status.h"

namespace {

// How often a waiting thread looks at the stop flag, and the bounds of
// every other wait.
constexpr uint32_t kSliceMs = 20;
constexpr uint32_t kConnectMs = 3000;
constexpr uint32_t kReplyMs = 5000;
constexpr size_t kHeader = 6;  // the MBAP bytes before the length's count
constexpr size_t kMaxFrame = 1536;

// Receives until buffer holds a whole frame (by its length field); false
// when the peer closed, a wait ran out or stop was set.
bool ReceiveFrame(platform::TcpSocket& socket, Bytes* buffer, size_t* frame, uint32_t waitMs,
                  const std::atomic<bool>& stop) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    if (buffer->size() >= kHeader) {
      const size_t total = kHeader + GetU16BE(buffer->data(), buffer->size(), 4);
      if (total > kMaxFrame) return false;
      if (buffer->size() >= total) {
        *frame = total;
        return true;
      }
    }
    if (stop || std::chrono::steady_clock::now() >= end) return false;
    uint8_t chunk[kMaxFrame];
    size_t n = 0;
    const int status = socket.Receive(chunk, sizeof chunk, &n, kSliceMs);
    if (status == platform::kTimeout) continue;
    if (status != platform::kOk) return false;
    buffer->insert(buffer->end(), chunk, chunk + n);
  }
}

}  // namespace

ModbusRelay::ModbusRelay(const std::string& target) {
  const size_t colon = target.rfind(':');
  host_ = target.substr(0, colon);
  port_ = static_cast<uint16_t>(std::stoi(target.substr(colon + 1)));
  if (listener_.Listen("127.0.0.1", 0) == platform::kOk)
    acceptor_ = std::thread([this] { Accept(); });
}

ModbusRelay::~ModbusRelay() {
  stop_ = true;
  if (acceptor_.joinable()) acceptor_.join();
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::thread& t : threads_) t.join();
}

void ModbusRelay::SetHook(Hook hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  hook_ = std::move(hook);
}

void ModbusRelay::DownFor(uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  down_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

bool ModbusRelay::Down() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::chrono::steady_clock::now() < down_;
}

bool ModbusRelay::Ask(const Bytes& request) {
  Hook hook;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    hook = hook_;
  }
  return !hook || hook(request);
}

void ModbusRelay::Accept() {
  while (!stop_) {
    platform::TcpSocket client;
    if (listener_.Accept(&client, kSliceMs) != platform::kOk) continue;
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.emplace_back([this, c = std::move(client)]() mutable { Serve(std::move(c)); });
  }
}

void ModbusRelay::Serve(platform::TcpSocket client) {
  if (Down()) return;
  platform::TcpSocket device;
  if (device.Connect(host_.c_str(), port_, kConnectMs) != platform::kOk) return;
  Bytes fromClient;
  Bytes fromDevice;
  while (!stop_) {
    size_t size = 0;
    if (!ReceiveFrame(client, &fromClient, &size, UINT32_MAX / 2, stop_)) return;
    const Bytes request(fromClient.begin(), fromClient.begin() + static_cast<long>(size));
    fromClient.erase(fromClient.begin(), fromClient.begin() + static_cast<long>(size));
    if (Down() || !Ask(request) || Down()) return;
    if (device.SendAll(request.data(), request.size(), kReplyMs) != platform::kOk) return;
    if (!ReceiveFrame(device, &fromDevice, &size, kReplyMs, stop_)) return;
    if (client.SendAll(fromDevice.data(), size, kReplyMs) != platform::kOk) return;
    fromDevice.erase(fromDevice.begin(), fromDevice.begin() + static_cast<long>(size));
  }
}
