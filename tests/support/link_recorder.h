// Keeps what the station sent to the bench device: every request byte for
// byte as the station built it, and every QXM_Open call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct OpenCall {
  std::string deviceType;
  std::string connectionType;
  std::string identifier;
};

// Calls fn for each record of a feedback request (header first): a write's
// offset is where its values start in the request, a read's where its values
// start in a reply's data. Stops at a record that runs past the end.
void ForEachRecord(
    const Bytes& request,
    const std::function<void(bool write, uint16_t address, size_t count, size_t offset)>& fn);

class LinkRecorder {
 public:
  void KeepRequest(const uint8_t* frame, size_t size) {
    requests_.emplace_back(frame, frame + size);
  }
  void KeepOpen(OpenCall call) { opens_.push_back(std::move(call)); }

  const std::vector<Bytes>& Requests() const { return requests_; }
  const std::vector<OpenCall>& OpenCalls() const { return opens_; }
  void ClearRequests() { requests_.clear(); }
  // The 32-bit values written to the register, oldest first.
  std::vector<uint32_t> WrittenU32(uint16_t address) const;
  // True when some request carries these bytes.
  bool Sent(const Bytes& bytes) const;

 private:
  std::vector<Bytes> requests_;
  std::vector<OpenCall> opens_;
};
