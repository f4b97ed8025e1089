// An in-process fake device behind a device-access library handle, for tests.
// It records every request byte for byte and answers function-76 requests
// from a register map of its own (65536 16-bit registers, all 0 at first) and
// a flash image of its own (4 MiB, erased to 0xFF) behind the flash interface
// registers: key 61800, read pointer 61810, read window 61812 (16 registers),
// erase 61820, write window 61830. Erase and write need the key of their
// region, written earlier in the same exchange; writes can only clear bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "qxm/qxm_backend.h"

struct FakeOpenCall {
  std::string deviceType;
  std::string connectionType;
  std::string identifier;
};

class FakeDevice {
 public:
  static constexpr uint32_t kFlashSize = 0x400000;
  // The code of the device's refusal of a flash erase, write or read (a wrong
  // key, no region there, a range off the flash): its exception reply 4.
  static constexpr int kFlashRefusedCode = 1204;
  // The code for a request the fake cannot parse (bad length, function code,
  // or records that do not add up to the length).
  static constexpr int kMalformedRequestCode = 1001;
  // The code for a reply that would not fit the packet buffer.
  static constexpr int kReplyTooLongCode = 1017;

  // Registers one handle onto the device (Handle()).
  FakeDevice();
  // Closes every handle still open onto the device and stops serving QXM_Open.
  ~FakeDevice();
  FakeDevice(const FakeDevice&) = delete;
  FakeDevice& operator=(const FakeDevice&) = delete;

  // The handle registered by the constructor (0 if the handle table was full).
  int Handle() const { return handle_; }
  // Registers a further handle onto the same device; 0 if the table is full.
  int Attach();
  bool IsOpen(int handle) const { return openHandles_.count(handle) != 0; }
  size_t OpenHandleCount() const { return openHandles_.size(); }

  // From now on QXM_Open, whatever its texts, opens a new handle onto this
  // device (until the device is destroyed or another device serves).
  void ServeOpens();
  // The next count calls of QXM_Open fail with code (they are still
  // recorded); calls queue up as FailNext's do.
  void FailNextOpens(int code, int count = 1);
  const std::vector<FakeOpenCall>& OpenCalls() const { return openCalls_; }
  // Handles that QXM_Open gave out onto this device, in order.
  const std::vector<int>& OpenedHandles() const { return openedHandles_; }

  // Register map; a 32-bit value takes two registers, high word first.
  void SetU16(uint32_t address, uint16_t value);
  void SetU32(uint32_t address, uint32_t value);
  void SetF32(uint32_t address, float value);
  uint16_t GetU16(uint32_t address) const;
  uint32_t GetU32(uint32_t address) const;
  float GetF32(uint32_t address) const;

  // Flash image (kFlashSize bytes), reachable directly for set-up and checks.
  uint8_t* Flash() { return flash_.data(); }
  const uint8_t* Flash() const { return flash_.data(); }
  // Copies bytes into the image as they are (no erase rules); a range off the
  // image is cut at its end.
  void SetFlash(uint32_t address, const uint8_t* data, size_t length);
  // Erases, page writes and window reads the device has carried out.
  int EraseCount() const { return eraseCount_; }
  int FlashWriteCount() const { return flashWriteCount_; }
  int FlashReadCount() const { return flashReadCount_; }
  const std::vector<uint32_t>& ErasedPages() const { return erasedPages_; }

  // The next count exchanges (the follow-up reads among them) return code
  // without being carried out; they are still recorded. Calls queue up:
  // FailNext(1211); FailNext(5) fails the next exchange with 1211 and the
  // one after it with 5. A code of 0 lets its exchange be carried out as
  // usual: FailNext(0, 129); FailNext(2) fails the 130th exchange only.
  // A failed exchange leaves a reply-like buffer behind (length at its
  // maximum, data bytes 0x5A), as a library may.
  void FailNext(int code, int count = 1);
  size_t PendingFailures() const { return failures_.size(); }
  // The next count replies carry at most dataBytes bytes of data, their
  // length field saying so.
  void TruncateNextReply(size_t dataBytes, int count = 1);

  // Called after each write record has been applied, with its first register
  // and count. A non-zero result ends the exchange with that code.
  using WriteHook = std::function<int(uint32_t address, uint32_t count)>;
  void SetWriteHook(WriteHook hook) { writeHook_ = std::move(hook); }

  // Every request received, as many bytes as its length field names (cut at
  // the packet buffer), in order.
  const std::vector<std::vector<uint8_t>>& Requests() const { return requests_; }
  size_t ExchangeCount() const { return requests_.size(); }
  void ClearRequests() { requests_.clear(); }

  // One exchange, as the library's backend makes it.
  int Exchange(unsigned char* buffer, int* errorAddress);

 private:
  class Backend;
  static int OpenHook(const char* deviceType, const char* connectionType, const char* identifier,
                      std::unique_ptr<QxmBackend>* out);

  int ApplyWrite(uint32_t address, uint32_t count, const uint8_t* data);
  int ReadRegister(uint32_t address, uint16_t* value);
  int EraseFlashPage(uint32_t address);
  int WriteFlashWindow(const uint8_t* block, uint32_t length);
  bool KeyFits(uint32_t address, uint32_t length) const;
  void Forget(int handle) { openHandles_.erase(handle); }

  int handle_ = 0;
  std::set<int> openHandles_;
  std::vector<FakeOpenCall> openCalls_;
  std::vector<int> openedHandles_;
  std::deque<int> openFailures_;

  std::vector<uint16_t> registers_;
  std::vector<uint8_t> flash_;
  uint32_t key_ = 0;
  bool keySet_ = false;
  uint32_t readPointer_ = 0;
  int eraseCount_ = 0;
  int flashWriteCount_ = 0;
  int flashReadCount_ = 0;
  std::vector<uint32_t> erasedPages_;

  std::deque<int> failures_;
  size_t truncateTo_ = 0;
  int truncateCount_ = 0;
  WriteHook writeHook_;
  std::vector<std::vector<uint8_t>> requests_;
};
