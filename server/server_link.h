// The station's side of the production test server: one TCP connection, one
// request line at a time, each answered by one reply line that starts with a
// three-digit status (200 = success) followed by hexadecimal values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/status_codes.h"
#include "platform/socket.h"

// How the station introduces itself.
struct ClientIdentity {
  const char* name;
  double version;
  uint32_t jigId;
  uint32_t password;
};

// Values after the status, numbered from 1.
constexpr size_t kMaxReplyValues = 9;

struct ServerResponse {
  int code = 0;
  uint64_t values[kMaxReplyValues + 1] = {};  // values[1..9]; values[0] unused
  // values[k] was there and wholly hexadecimal: at least one digit, after
  // an optional "0x", and nothing else. A stray character reads as a 0
  // digit, which can make a valid-looking number of a garbled one.
  bool hex[kMaxReplyValues + 1] = {};
};

// One value of a "cal" message.
struct CalibrationItem {
  const char* name;
  double value;
};

// Builds one reply line out of what the receives bring, however the bytes
// are split between them. What still belongs to an earlier line is dropped
// first (an LF after its CR, the rest of a line that was cut or that nobody
// asked for); the line ends at CR or LF, and one that fills the buffer is cut
// there. Everything after a line's end is dropped with the rest of its line.
class ReplyLineReader {
 public:
  static constexpr size_t kCapacity = 500;  // terminator included

  // A new line begins; what the last one left to drop is still dropped.
  void Start();
  // A new connection: nothing is left to drop.
  void Reset();
  // Where the next receive writes, and how much it may write.
  char* space() { return buffer_ + have_; }
  size_t room() const { return kCapacity - 1 - have_; }
  // Takes the count bytes the receive wrote into space(); true once the
  // line is complete.
  bool Take(size_t count);
  // Bytes received that no request asked for.
  void Drop(const char* bytes, size_t count);

  // The complete line, without its line end, NUL-terminated.
  const char* line() const { return buffer_; }
  size_t length() const { return lineLength_; }

 private:
  char buffer_[kCapacity] = {};
  size_t have_ = 0;
  size_t lineLength_ = 0;
  bool complete_ = false;
  // The last line ended in CR: an LF that follows belongs to it.
  bool skipLf_ = false;
  // The rest of a line up to its end belongs to bytes already dropped.
  bool skipRestOfLine_ = false;
};

class ServerLink {
 public:
  // A receive waits at most this long for a reply line.
  static constexpr uint32_t kReceiveTimeoutMs = 10000;
  // Buffers: identification line, result messages, reply (terminator included).
  static constexpr size_t kIdentityCapacity = 500;
  static constexpr size_t kMessageCapacity = 4096;
  static constexpr size_t kReplyCapacity = ReplyLineReader::kCapacity;
  static constexpr uint16_t kDefaultPort = 5001;

  // The server of the QXTS_ENDPOINT setting.
  ServerLink();
  // Another server ("host:port", or "host" for port 5001; null: the setting)
  // and another receive time-out.
  explicit ServerLink(const char* endpoint, uint32_t receiveTimeoutMs = kReceiveTimeoutMs);
  ~ServerLink();
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  // Opens the connection and identifies the station.
  int Connect(ClientIdentity identity);
  // kServerNotHex when a value is not wholly hexadecimal; the value is
  // still given, as read, for the station's message.
  int GetSerial(uint64_t* serial);
  // The MAC address in the low 48 bits, first byte most significant.
  int GetMac(uint64_t* mac);
  int GetSerialAndMac(uint64_t* first, uint64_t* second);
  // "test" and "qtest" messages: count lines (a null line is sent empty).
  // Control characters, bytes beyond ASCII and the separators ";{}" in a
  // line or a name go as visible escapes (TextAppendEscaped).
  int SendTestResults(const char* const* lines, uint32_t count, uint64_t serial);
  int SendQuickTestResults(const char* const* lines, uint32_t count, uint64_t serial);
  // "cal" message: count name and value pairs.
  int SendCalibration(const CalibrationItem* items, uint32_t count, uint64_t serial);
  // Receives one reply line and parses its status and values.
  int ReadResponse(ServerResponse* response);

  // The status and values of one reply line: length characters followed by
  // a NUL (the line end already cut off).
  static void ParseReply(const char* line, size_t length, ServerResponse* response);

  // Hexadecimal text to a value: leading blanks and a two-character "0x"
  // prefix skipped, stopping at NUL, blank, CR or LF; any other character
  // counts as the digit 0. A value too large for 64 bits gives UINT64_MAX.
  // *consumed (may be null) gets the characters moved over, blanks and
  // prefix included.
  static uint64_t ParseHex(const char* text, size_t* consumed);

  bool connected() const { return socket_.IsOpen(); }

 private:
  // Sends a whole request and reads its reply; 0 only for status 200.
  int Exchange(const char* request, size_t length, ServerResponse* response);
  int SendResults(const char* command, const char* const* lines, uint32_t count, uint64_t serial);
  // Drops bytes no request asked for, so that they are not read as the next reply.
  void DropStaleInput();
  void Disconnect();

  char endpoint_[128] = {};
  uint32_t timeoutMs_;
  platform::TcpSocket socket_;
  char message_[kMessageCapacity] = {};  // the result message being built
  bool socketsStarted_ = false;
  ReplyLineReader reader_;
};
