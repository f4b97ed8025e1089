// qxsim's own virtual device, in-process, behind the station's device-access
// library: no socket, no thread. A test gets a device and a handle onto it in
// one line,
//
//   BenchDevice dev;  // dev.Handle() is open onto it; QXM_Open opens more
//
// reaches the model (dev.model(), dev.bench() for the jig and clock), reads
// what was sent (dev.Requests(), dev.recorder()) and injects faults
// (dev.SetFaults, dev.FailOpens, dev.model().SetFlashWriteFault).
//
// The link behaves as the TCP transport does against qxsim: a request that
// writes the restart register is answered, then the device is unreachable
// (opens refused, connections lost) for the bench's restart time on the clock
// in force, and powers on at the first attempt after it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "qxm/qxm_backend.h"
#include "sim/bench.h"
#include "sim/link_faults.h"
#include "tests/support/link_recorder.h"

using qxsim::LinkFaults;

class BenchDevice {
 public:
  explicit BenchDevice(qxsim::BenchOptions options = qxsim::BenchOptions());
  // Closes every handle still open onto the device and stops serving QXM_Open.
  ~BenchDevice();
  BenchDevice(const BenchDevice&) = delete;
  BenchDevice& operator=(const BenchDevice&) = delete;

  int Handle() const { return handle_; }
  qxsim::Bench& bench() { return bench_; }
  qxsim::VirtualDevice& model() { return bench_.device(); }

  LinkRecorder& recorder() { return recorder_; }
  const std::vector<Bytes>& Requests() const { return recorder_.Requests(); }
  size_t ExchangeCount() const { return recorder_.Requests().size(); }
  void ClearRequests() { recorder_.ClearRequests(); }
  const std::vector<OpenCall>& OpenCalls() const { return recorder_.OpenCalls(); }

  void SetFaults(const LinkFaults& faults) { faults_.Set(faults); }
  void ClearFaults() { faults_.Set(LinkFaults()); }
  // The next count calls of QXM_Open fail with code (still recorded).
  void FailOpens(int code, int count = 1);
  // Called with every request as it comes, before the device or the link
  // faults see it (a signal landing while the exchange is under way).
  void SetRequestHook(std::function<void(const Bytes& request)> hook) { hook_ = std::move(hook); }
  // The link goes down for ms on the clock in force (UINT64_MAX: until
  // LinkBack): the request under way and every later one are lost unseen,
  // connections drop and opens are refused; the device itself runs on.
  void DropLinkFor(uint64_t ms);
  void LinkBack() { downUntil_ = 0; }
  // Plain read/write registers in [first, first + count) wherever the model
  // has none, for tests of the station's framing that do not care what a
  // register means.
  void AddScratchRegisters(uint16_t first, size_t count);

  // The model's flash as it stands (its PeekFlash trips on an empty range).
  Bytes Flash(uint32_t address, size_t length) {
    return length == 0 ? Bytes() : model().PeekFlash(address, length);
  }
  size_t OpenHandleCount() const { return handles_.size(); }
  // The handle QXM_Open gave out last (0: none yet).
  int LastOpened() const { return lastOpened_; }
  int restarts() const { return boots_; }

 private:
  class Backend;
  static int OpenHook(const char* deviceType, const char* connectionType, const char* identifier,
                      std::unique_ptr<QxmBackend>* out);
  int Exchange(Backend& link, unsigned char* buffer, int* errorAddress);
  bool Reachable();

  qxsim::Bench bench_;
  LinkRecorder recorder_;
  qxsim::DeviceLink device_;
  qxsim::FaultyLink faults_;
  std::deque<int> openFailures_;
  std::set<int> handles_;
  int handle_ = 0;
  int lastOpened_ = 0;
  int boots_ = 0;
  bool away_ = false;
  uint64_t awayUntil_ = 0;
  uint64_t downUntil_ = 0;
  std::function<void(const Bytes&)> hook_;
  bool LinkDown();
};
