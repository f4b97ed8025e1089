#include "tests/support/loopback_peer.h"

#include <chrono>

#include "platform/status.h"

namespace {

// How often the peer looks at its stop flag while it waits.
constexpr uint32_t kSliceMs = 20;
constexpr uint32_t kSendMs = 2000;

}  // namespace

bool PeerConnection::Send(const std::string& bytes) {
  return socket_.SendAll(bytes.data(), bytes.size(), kSendMs) == platform::kOk;
}

bool PeerConnection::Trickle(const std::string& bytes, uint32_t pauseMs) {
  for (char c : bytes) {
    if (socket_.SendAll(&c, 1, kSendMs) != platform::kOk) return false;
    Pause(pauseMs);
  }
  return true;
}

void PeerConnection::Pause(uint32_t pauseMs) {
  std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
}

LoopbackPeer::LoopbackPeer(Handler handler) : handler_(std::move(handler)) {
  if (listener_.Listen("127.0.0.1", 0) == platform::kOk) thread_ = std::thread([this] { Run(); });
}

LoopbackPeer::~LoopbackPeer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::string LoopbackPeer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

void LoopbackPeer::Run() {
  while (!stop_) {
    platform::TcpSocket socket;
    if (listener_.Accept(&socket, kSliceMs) != platform::kOk) continue;
    ++connections_;
    Serve(socket);
  }
}

void LoopbackPeer::Serve(platform::TcpSocket& socket) {
  PeerConnection connection(socket);
  std::string pending;
  while (!stop_ && !connection.closing()) {
    char chunk[8192];
    size_t n = 0;
    int status = socket.Receive(chunk, sizeof chunk, &n, kSliceMs);
    if (status == platform::kTimeout) continue;
    if (status != platform::kOk) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      received_.append(chunk, n);
    }
    pending.append(chunk, n);
    handler_(connection, &pending);
  }
}

uint16_t UnusedLoopbackPort() {
  platform::SocketsUser sockets;
  platform::TcpListener listener;
  listener.Listen("127.0.0.1", 0);
  return listener.port();  // closed when it goes
}
