#include "instruments/serial.h"

#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/status.h"

const char* const kComPortNames[kComPortCount] = {"COM1", "COM2", "COM3", "COM4",
                                                  "COM5", "COM6", "COM7", "COM8"};

namespace {

constexpr uint32_t kDrainPiece = 10;
// An instrument that never stops talking must not keep Drain in its loop.
constexpr uint32_t kDrainLimitBytes = 65536;
constexpr uint32_t kDrainLimitMs = 1000;

void Say(const char* message) {
  std::fputs(message, stdout);
  std::fflush(stdout);
}

}  // namespace

Serial::Serial(const char* portName, platform::LineSettings lineSettings) {
  lastStatus_ = port_.Open(portName);
  if (lastStatus_ != platform::kOk) {
    Say("ERROR: Could not open com port");
    return;
  }
  lastStatus_ = port_.SetNonBlockingReads();
  if (lastStatus_ != platform::kOk) {
    port_.Close();
    Say("ERROR: Could not set com port time-outs");
  }
  // Runs also after a failed time-out step: on a closed port it fails too, so
  // the operator sees both messages.
  int status = port_.Configure(lineSettings);
  if (status != platform::kOk) {
    if (lastStatus_ == platform::kOk) lastStatus_ = status;
    port_.Close();
    Say("ERROR: Could not set com port parameters");
  }
}

Serial::~Serial() { port_.Close(); }

uint32_t Serial::Write(const void* buffer, uint32_t count) {
  size_t written = 0;
  lastStatus_ = port_.Write(buffer, count, kSerialWriteTimeoutMs, &written);
  return static_cast<uint32_t>(written);
}

uint32_t Serial::WriteString(const char* text) {
  if (text == nullptr) return 0;
  return Write(text, static_cast<uint32_t>(std::strlen(text)));
}

uint32_t Serial::Read(void* buffer, uint32_t count, bool asText) {
  if (buffer == nullptr || count == 0) return 0;
  char* bytes = static_cast<char*>(buffer);
  uint32_t capacity = asText ? count - 1 : count;
  size_t received = 0;
  lastStatus_ = port_.Read(bytes, capacity, &received);
  if (lastStatus_ != platform::kOk) received = 0;
  if (asText) bytes[received] = '\0';
  return static_cast<uint32_t>(received);
}

int Serial::BytesAvailable(uint32_t* count) {
  if (count == nullptr) return platform::kBadArgument;
  size_t waiting = 0;
  lastStatus_ = port_.BytesWaiting(&waiting);
  *count = waiting > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(waiting);
  return lastStatus_;
}

void Serial::Drain() {
  char piece[kDrainPiece];
  uint32_t total = 0;
  platform::Deadline deadline(kDrainLimitMs);
  while (total < kDrainLimitBytes && !deadline.Expired()) {
    uint32_t n = Read(piece, kDrainPiece, false);
    if (n == 0) break;
    total += n;
  }
}
