// Modbus TCP transport of the device-access library.
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/byte_order.h"
#include "platform/clock.h"
#include "platform/settings.h"
#include "platform/socket.h"
#include "platform/status.h"
#include "qxm/mbap.h"
#include "qxm/qxm.h"
#include "qxm/qxm_errors.h"
#include "qxm/transport.h"

namespace {

constexpr uint16_t kModbusPort = 502;
constexpr uint32_t kConnectTimeoutMs = 3000;
constexpr uint32_t kSendTimeoutMs = 2000;
uint32_t g_replyTimeoutMs = 3000;
// A device that answers within this long after the request is caught
// awake, sparing the wake-up of a sleeping thread; a slow one (a real device
// behind a bridge) soon stops the spinning (platform/spin_policy.h).
constexpr uint32_t kReplySpinUs = 50;

bool SameText(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (std::tolower(static_cast<unsigned char>(*a)) !=
        std::tolower(static_cast<unsigned char>(*b))) {
      return false;
    }
  }
  return *a == *b;
}

// a.b.c.d with each part 0..255: the Ethernet test gives the device's address
// on the test network, never a host name.
bool IsDottedQuad(const char* host) {
  int parts = 0;
  const char* p = host;
  while (parts < 4) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    int value = 0;
    int digits = 0;
    while (std::isdigit(static_cast<unsigned char>(*p))) {
      value = value * 10 + (*p - '0');
      if (++digits > 3 || value > 255) return false;
      ++p;
    }
    ++parts;
    if (parts < 4) {
      if (*p != '.') return false;
      ++p;
    }
  }
  return *p == '\0';
}

int ConnectCode(int status) {
  switch (status) {
    case platform::kRefused:
      return QXM_ERR_REFUSED;
    case platform::kBadAddress:
      return QXM_ERR_BAD_IDENTIFIER;
    default:
      return QXM_ERR_NO_ANSWER;
  }
}

class TcpBackend : public QxmBackend {
 public:
  TcpBackend(const char* host, uint16_t port) : port_(port) {
    size_t n = strnlen(host, sizeof host_ - 1);
    std::memcpy(host_, host, n);
    host_[n] = '\0';
    socket_.SetSpinUs(kReplySpinUs);
  }

  // Every connection holds its own start-up of the socket library, so that
  // closing one device never stops the sockets of another.
  bool HasSockets() const { return sockets_.status() == platform::kOk; }

  int Connect() {
    int status = socket_.Connect(host_, port_, kConnectTimeoutMs);
    return status == platform::kOk ? QXM_OK : ConnectCode(status);
  }

  int Exchange(unsigned char* buffer, int* errorAddress) override {
    size_t requestSize = RequestSize(buffer, QXM_BUFFER_SIZE);
    if (requestSize == 0) return QXM_ERR_REQUEST_TOO_LONG;
    // A connection dropped after an earlier failure may hold a late reply to
    // the old request; start over on a fresh one.
    if (!socket_.IsOpen()) {
      int code = Connect();
      if (code != QXM_OK) return QXM_ERR_CONNECTION_LOST;
    }
    // The transaction identifier ties the reply to this request.
    uint16_t transaction = ++transaction_;
    uint8_t unit = buffer[6];
    unsigned char request[QXM_BUFFER_SIZE];
    std::memcpy(request, buffer, requestSize);
    PutU16BE(request, sizeof request, 0, transaction);

    int code = SendAndReceive(request, requestSize, transaction, unit, buffer, errorAddress);
    if (code != QXM_OK && code < QXM_ERR_DEVICE_EXCEPTION_BASE) socket_.Close();
    return code;
  }

 private:
  int SendAndReceive(const unsigned char* request, size_t requestSize, uint16_t transaction,
                     uint8_t unit, unsigned char* buffer, int* errorAddress) {
    int status = socket_.SendAll(request, requestSize, kSendTimeoutMs);
    if (status == platform::kClosed) return QXM_ERR_CONNECTION_LOST;
    if (status != platform::kOk) return QXM_ERR_SEND_FAILED;

    unsigned char reply[QXM_BUFFER_SIZE];
    platform::Deadline deadline(g_replyTimeoutMs);
    // As much as has come, in one read when the whole reply is there; the
    // header is checked before anything past it is waited for.
    size_t have = 0;
    int code = ReceiveAtLeast(reply, kMbapHeaderSize, sizeof reply, &have, deadline);
    if (code != QXM_OK) return code;
    size_t bodyLength = 0;
    code = CheckReplyHeader(reply, transaction, unit, QXM_BUFFER_SIZE, &bodyLength);
    if (code != QXM_OK) return code;
    size_t replySize = kMbapHeaderSize + bodyLength;
    if (have < replySize) {
      code = ReceiveAtLeast(reply, replySize, replySize, &have, deadline);
      if (code != QXM_OK) return code;
    }
    code = CheckReplyFunction(reply, replySize, errorAddress);
    if (code != QXM_OK) return code;
    // Bytes beyond the reply were never asked for: a fresh connection for the
    // next request, so that they are never taken for its reply.
    if (have > replySize) socket_.Close();
    // The caller's buffer sees the header it sent (transaction 0) and the reply.
    std::memcpy(buffer, reply, replySize);
    PutU16BE(buffer, QXM_BUFFER_SIZE, 0, 0);
    return QXM_OK;
  }

  // Receives into out until *have reaches at least, never beyond capacity.
  int ReceiveAtLeast(unsigned char* out, size_t at, size_t capacity, size_t* have,
                     const platform::Deadline& deadline) {
    while (*have < at) {
      size_t got = 0;
      int status = socket_.Receive(out + *have, capacity - *have, &got, deadline.RemainingMs());
      if (status == platform::kClosed) return QXM_ERR_CONNECTION_LOST;
      if (status == platform::kTimeout) return QXM_ERR_REPLY_TIMEOUT;
      if (status != platform::kOk) return QXM_ERR_CONNECTION_LOST;
      *have += got;
      if (*have < at && deadline.Expired()) return QXM_ERR_REPLY_TIMEOUT;
    }
    return QXM_OK;
  }

  char host_[64];
  uint16_t port_;
  uint16_t transaction_ = 0;
  platform::SocketsUser sockets_;
  platform::TcpSocket socket_;
};

}  // namespace

void QxmSetReplyTimeoutMs(unsigned timeoutMs) { g_replyTimeoutMs = timeoutMs; }
unsigned QxmReplyTimeoutMs() { return g_replyTimeoutMs; }

int QxmOpenTransport(const char* deviceType, const char* connectionType, const char* identifier,
                     std::unique_ptr<QxmBackend>* out) {
  if (!SameText(deviceType, "z5 device type") && !SameText(deviceType, "z5")) {
    return QXM_ERR_UNKNOWN_DEVICE_TYPE;
  }
  const char* endpoint = nullptr;
  bool ethernet = false;
  if (SameText(connectionType, "usb") || SameText(connectionType, "usb connection")) {
    // "The first device on USB": the endpoint of the USB bridge.
    endpoint = platform::Setting("QXM_USB_ENDPOINT");
  } else if (SameText(connectionType, "tcp")) {
    endpoint = identifier;
    ethernet = true;
  } else {
    return QXM_ERR_UNKNOWN_CONNECTION;
  }

  char host[64];
  uint16_t port = 0;
  if (platform::ParseEndpoint(endpoint, kModbusPort, host, sizeof host, &port) != platform::kOk) {
    return QXM_ERR_BAD_IDENTIFIER;
  }
  if (ethernet && !IsDottedQuad(host)) return QXM_ERR_BAD_IDENTIFIER;

  auto backend = std::make_unique<TcpBackend>(host, port);
  if (!backend->HasSockets()) return QXM_ERR_NO_SOCKETS;
  int code = backend->Connect();
  if (code != QXM_OK) return code;
  *out = std::move(backend);
  return QXM_OK;
}
