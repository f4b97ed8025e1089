#include "server/server_link.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "base/text.h"
#include "platform/clock.h"
#include "platform/settings.h"
#include "platform/status.h"

namespace {

// What frames the items of a result message.
constexpr char kItemSeparators[] = ";{}";

// Builds a message in a fixed buffer and remembers whether anything had to
// be cut: a cut message is refused, never sent.
class MessageText {
 public:
  MessageText(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {
    buffer_[0] = '\0';
  }

  void Append(const char* text) {
    if (!fits_) return;
    if (text == nullptr) text = "";
    size_t wanted = length_ + std::strlen(text);
    length_ = TextAppend(buffer_, capacity_, text);
    if (length_ != wanted) fits_ = false;
  }

  // Outside text (a test's result line carries the device's texts): no
  // control character may end the request early and no separator may split
  // an item, so both go as visible escapes.
  void AppendItem(const char* text) {
    if (!fits_) return;
    bool cut = false;
    length_ = TextAppendEscaped(buffer_, capacity_, text, kItemSeparators, &cut);
    if (cut) fits_ = false;
  }

  // A formatted number; piece holds pieceLength characters in a buffer one
  // larger than the scratch capacity, so that a number that would not fit
  // the scratch shows as a longer piece.
  void AppendPiece(const char* piece, size_t pieceLength) {
    if (pieceLength >= kPieceCapacity) {
      fits_ = false;
      return;
    }
    Append(piece);
  }

  bool fits() const { return fits_; }
  size_t length() const { return length_; }

 private:
  char* buffer_;
  size_t capacity_;
  size_t length_ = 0;
  bool fits_ = true;
};

void AppendSerial(MessageText* text, uint64_t serial) {
  for (int shift = 56; shift >= 0; shift -= 8) {
    char piece[kPieceCapacity + 1];
    size_t n =
        TextFormat(piece, sizeof piece, "%02x", static_cast<unsigned>((serial >> shift) & 0xFF));
    text->AppendPiece(piece, n);
  }
}

// The status of a reply as the request's result.
int StatusResult(int status) {
  if (status == 200) return kServerOk;
  if (status == 0) return kServerStatusZero;
  return status;
}

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The `length` characters that ParseHex moved over hold a whole hexadecimal
// number: blanks, an optional "0x", then digits and nothing else.
bool WhollyHex(const char* text, size_t length) {
  size_t i = 0;
  while (i < length && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i + 1 < length && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
  if (i == length) return false;
  for (; i < length; ++i) {
    if (!IsHexDigit(text[i])) return false;
  }
  return true;
}

// A request's result once its reply is in: the values it takes must be whole.
int CheckValues(int result, const ServerResponse& response, size_t count) {
  if (result != kServerOk) return result;
  for (size_t k = 1; k <= count; ++k) {
    if (!response.hex[k]) return kServerNotHex;
  }
  return kServerOk;
}

}  // namespace

ServerLink::ServerLink() : ServerLink(nullptr) {}

ServerLink::ServerLink(const char* endpoint, uint32_t receiveTimeoutMs)
    : timeoutMs_(receiveTimeoutMs) {
  if (endpoint != nullptr) TextCopy(endpoint_, sizeof endpoint_, endpoint);
}

ServerLink::~ServerLink() {
  Disconnect();
  if (socketsStarted_) platform::SocketsCleanup();
}

void ServerLink::Disconnect() {
  socket_.Close();
  reader_.Reset();
}

int ServerLink::Connect(ClientIdentity identity) {
  Disconnect();
  if (!socketsStarted_) {
    int started = platform::SocketsStartup();
    if (started == platform::kWrongVersion) return kServerWrongVersion;
    if (started != platform::kOk) return kServerNoSockets;
    socketsStarted_ = true;
  }

  // The line is built before connecting, so that a line that does not fit
  // leaves no connection behind.
  char line[kIdentityCapacity];
  MessageText text(line, sizeof line);
  char piece[kPieceCapacity + 1];
  text.Append("ID ");
  text.Append(identity.name);
  text.Append(" ");
  text.AppendPiece(piece, TextFormat(piece, sizeof piece, "%.02f", identity.version));
  text.Append(" QXTJ:");
  text.AppendPiece(piece, TextFormat(piece, sizeof piece, "%08X", identity.jigId));
  text.Append(" PW:");
  text.AppendPiece(piece, TextFormat(piece, sizeof piece, "%08X", identity.password));
  text.Append("\r\n");
  if (!text.fits()) return kServerTooLong;

  const char* endpoint = endpoint_[0] != '\0' ? endpoint_ : platform::Setting("QXTS_ENDPOINT");
  char host[100];
  uint16_t port = 0;
  if (platform::ParseEndpoint(endpoint, kDefaultPort, host, sizeof host, &port) != platform::kOk) {
    return kServerNotConnected;
  }
  if (socket_.Connect(host, port, timeoutMs_) != platform::kOk) {
    socket_.Close();
    return kServerNotConnected;
  }

  ServerResponse response;
  int result = Exchange(line, text.length(), &response);
  // A refused identification leaves nothing to talk to.
  if (result != kServerOk) Disconnect();
  return result;
}

int ServerLink::GetSerial(uint64_t* serial) {
  if (serial == nullptr) return kServerBadArgument;
  ServerResponse response;
  static const char kRequest[] = "serial\r\n";
  int result = CheckValues(Exchange(kRequest, sizeof kRequest - 1, &response), response, 1);
  if (result == kServerOk || result == kServerNotHex) *serial = response.values[1];
  return result;
}

int ServerLink::GetMac(uint64_t* mac) {
  if (mac == nullptr) return kServerBadArgument;
  ServerResponse response;
  static const char kRequest[] = "mac\r\n";
  int result = CheckValues(Exchange(kRequest, sizeof kRequest - 1, &response), response, 1);
  if (result == kServerOk || result == kServerNotHex) *mac = response.values[1];
  return result;
}

int ServerLink::GetSerialAndMac(uint64_t* first, uint64_t* second) {
  if (first == nullptr || second == nullptr) return kServerBadArgument;
  ServerResponse response;
  static const char kRequest[] = "jn mac\r\n";
  int result = CheckValues(Exchange(kRequest, sizeof kRequest - 1, &response), response, 2);
  if (result == kServerOk || result == kServerNotHex) {
    *first = response.values[1];
    *second = response.values[2];
  }
  return result;
}

int ServerLink::SendTestResults(const char* const* lines, uint32_t count, uint64_t serial) {
  return SendResults("test 0x", lines, count, serial);
}

int ServerLink::SendQuickTestResults(const char* const* lines, uint32_t count, uint64_t serial) {
  return SendResults("qtest 0x", lines, count, serial);
}

int ServerLink::SendResults(const char* command, const char* const* lines, uint32_t count,
                            uint64_t serial) {
  if (lines == nullptr && count > 0) return kServerBadArgument;
  MessageText text(message_, sizeof message_);
  text.Append(command);
  AppendSerial(&text, serial);
  text.Append(" {");
  for (uint32_t i = 0; i < count; ++i) {
    if (i > 0) text.Append(";");
    text.AppendItem(lines[i]);
  }
  text.Append("}\r\n");
  if (!text.fits()) return kServerTooLong;
  ServerResponse response;
  return Exchange(message_, text.length(), &response);
}

int ServerLink::SendCalibration(const CalibrationItem* items, uint32_t count, uint64_t serial) {
  if (items == nullptr && count > 0) return kServerBadArgument;
  MessageText text(message_, sizeof message_);
  text.Append("cal 0x");
  AppendSerial(&text, serial);
  text.Append(" {");
  for (uint32_t i = 0; i < count; ++i) {
    if (i > 0) text.Append(";");
    text.AppendItem(items[i].name);
    char piece[kPieceCapacity + 1];
    text.AppendPiece(piece, TextFormat(piece, sizeof piece, ":%.09f", items[i].value));
  }
  text.Append("}\r\n");
  if (!text.fits()) return kServerTooLong;
  ServerResponse response;
  return Exchange(message_, text.length(), &response);
}

int ServerLink::Exchange(const char* request, size_t length, ServerResponse* response) {
  if (!socket_.IsOpen()) return kServerNotConnected;
  DropStaleInput();
  int sent = socket_.SendAll(request, length, timeoutMs_);
  if (sent != platform::kOk) {
    int osError = socket_.LastOsError();
    Disconnect();
    if (sent == platform::kClosed) return kServerClosed;
    if (sent == platform::kTimeout) return kServerTimeout;
    return osError != 0 ? osError : kServerReceiveFailed;
  }
  int result = ReadResponse(response);
  if (result != kServerOk) return result;
  return StatusResult(response->code);
}

void ServerLink::DropStaleInput() {
  char junk[kReplyCapacity];
  for (int turn = 0; turn < 16; ++turn) {
    size_t received = 0;
    if (socket_.Receive(junk, sizeof junk, &received, 0) != platform::kOk || received == 0) return;
    reader_.Drop(junk, received);
  }
}

int ServerLink::ReadResponse(ServerResponse* response) {
  if (response == nullptr) return kServerBadArgument;
  *response = ServerResponse();
  if (!socket_.IsOpen()) return kServerNotConnected;

  reader_.Start();
  bool complete = false;
  platform::Deadline deadline(timeoutMs_);
  // Every turn takes at least one byte or fails; the bound only guards
  // against a peer that keeps sending bytes that are dropped.
  for (size_t turn = 0; turn < 8 * kReplyCapacity && !complete; ++turn) {
    size_t received = 0;
    int status =
        socket_.Receive(reader_.space(), reader_.room(), &received, deadline.RemainingMs());
    if (status != platform::kOk) {
      int osError = socket_.LastOsError();
      Disconnect();
      if (status == platform::kTimeout) return kServerTimeout;
      if (status == platform::kClosed) return kServerClosed;
      return osError != 0 ? osError : kServerReceiveFailed;
    }
    complete = reader_.Take(received);
  }
  if (!complete) {
    Disconnect();
    return kServerTimeout;
  }
  ParseReply(reader_.line(), reader_.length(), response);
  return kServerOk;
}

void ReplyLineReader::Start() {
  have_ = 0;
  lineLength_ = 0;
  complete_ = false;
  buffer_[0] = '\0';
}

void ReplyLineReader::Reset() {
  Start();
  skipLf_ = false;
  skipRestOfLine_ = false;
}

void ReplyLineReader::Drop(const char* bytes, size_t count) {
  // Only where the dropped bytes leave off matters: inside a line, its rest
  // is still to come; after a CR, maybe its LF.
  if (count == 0) return;
  char last = bytes[count - 1];
  skipLf_ = last == '\r';
  skipRestOfLine_ = !IsLineEnd(last);
}

bool ReplyLineReader::Take(size_t count) {
  if (complete_) return true;
  if (count > room()) count = room();
  size_t start = have_;
  size_t kept = have_;
  for (size_t i = start; i < start + count; ++i) {
    char c = buffer_[i];
    if (skipLf_) {
      skipLf_ = false;
      if (c == '\n') continue;
    }
    if (skipRestOfLine_) {
      if (IsLineEnd(c)) {
        skipRestOfLine_ = false;
        skipLf_ = c == '\r';
      }
      continue;
    }
    buffer_[kept++] = c;
  }
  have_ = kept;
  for (size_t i = start; i < have_; ++i) {
    if (!IsLineEnd(buffer_[i])) continue;
    lineLength_ = i;
    complete_ = true;
    // The line end and what follows it were not asked for: dropped, and
    // with them the rest of a line that is still on the way.
    Drop(buffer_ + i, have_ - i);
    break;
  }
  if (!complete_ && have_ == kCapacity - 1) {
    lineLength_ = have_;
    skipRestOfLine_ = true;
    complete_ = true;
  }
  if (complete_) buffer_[lineLength_] = '\0';
  return complete_;
}

void ServerLink::ParseReply(const char* line, size_t length, ServerResponse* response) {
  *response = ServerResponse();
  size_t position = 0;
  for (size_t turn = 0; turn <= kMaxReplyValues; ++turn) {
    if (position >= length) break;
    if (line[position + 1] == 'x' || line[position + 1] == 'X') {
      position += 2;
      continue;
    }
    if (turn == 0) {
      long status = std::strtol(line + position, nullptr, 10);
      if (status > INT_MAX) status = INT_MAX;
      if (status < INT_MIN) status = INT_MIN;
      response->code = static_cast<int>(status);
      position += 3;
    } else {
      size_t consumed = 0;
      response->values[turn] = ParseHex(line + position, &consumed);
      if (consumed == 0) break;  // an embedded NUL: nothing more to read
      response->hex[turn] = WhollyHex(line + position, consumed);
      position += consumed;
    }
  }
}

uint64_t ServerLink::ParseHex(const char* text, size_t* consumed) {
  if (consumed != nullptr) *consumed = 0;
  if (text == nullptr) return 0;
  size_t i = 0;
  while (text[i] == ' ' || text[i] == '\t') ++i;
  if (text[i] != '\0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) i += 2;
  uint64_t value = 0;
  for (; text[i] != '\0' && text[i] != ' ' && !IsLineEnd(text[i]); ++i) {
    char c = text[i];
    uint64_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint64_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint64_t>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<uint64_t>(c - 'a' + 10);
    }
    // A value that needs more than 64 bits stays at the largest one rather
    // than keeping its low bits, which would pass as another, valid value.
    value = value > (UINT64_MAX >> 4) ? UINT64_MAX : (value << 4) + digit;
  }
  if (consumed != nullptr) *consumed = i;
  return value;
}
