// The virtual bench in one object, for tests and for qxsim: the device with
// its USB and Ethernet endpoints, the jig wired to it, the state file that
// keeps its flash between runs, and, when asked for, the bench meter fed by
// the jig and the production test server.
//
//   qxsim::BenchOptions options;          // ephemeral loopback ports
//   qxsim::Bench bench(options);
//   std::string error;
//   if (!bench.Start(&error)) ...
//   setenv("QXM_USB_ENDPOINT", bench.usbEndpoint().c_str(), 1);
//   bench.device().SetMax(true);          // peek, poke, inject faults ...
//   bench.SetUsbFaults(faults);
//   // the destructor stops everything (and saves the state file)
//
// Without Start the device and jig are there all the same, for in-process use
// through bench.device().
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/file.h"
#include "sim/device_server.h"
#include "sim/jig.h"
#include "sim/meter.h"
#include "sim/production_faults.h"
#include "sim/qxts_server.h"
#include "sim/virtual_device.h"

namespace qxsim {

constexpr size_t kUsbEndpoint = 0;
constexpr size_t kEthEndpoint = 1;

struct BenchOptions {
  DeviceOptions device;
  std::string usbEndpoint = "127.0.0.1:0";  // host:port; port 0 = ephemeral
  std::string ethEndpoint = "127.0.0.1:0";
  uint32_t restartMs = 5000;  // how long a restart keeps the device away
  // A device connection that brings no request for this long is closed (0: never).
  uint32_t idleTimeoutMs = kDefaultIdleTimeoutMs;
  // Keeps the flash between runs; empty: none. An existing file is loaded
  // (and wins over the starting identity); a missing one is created. Every
  // flash change is in statePath + ".journal" before its request is
  // answered, so a killed bench loses nothing it acknowledged (the journal
  // is folded into the file at the next start and whenever changes pause);
  // a second bench on the same file refuses to start (the claim is
  // statePath + ".lock").
  std::string statePath;
  LinkFaults usbFaults;
  LinkFaults ethFaults;
  int flashWriteFailAfter = -1;  // VirtualDevice::SetFlashWriteFault
  JigSettings jig;
  ProductionFaults production;
  // The bench meter and the test server run only when asked for.
  bool withMeter = false;
  MeterOptions meter;
  bool withTestServer = false;
  TestServerOptions testServer;
};

class Bench {
 public:
  explicit Bench(BenchOptions options = BenchOptions());
  ~Bench();
  Bench(const Bench&) = delete;
  Bench& operator=(const Bench&) = delete;

  // Loads or creates the state file, binds both endpoints and serves, and
  // starts the meter and the test server if asked for. False with *error
  // when any of it fails; nothing runs then.
  bool Start(std::string* error);
  // Stops serving and saves the state file; false with *error when the
  // last save failed. Safe to call twice.
  bool Stop(std::string* error = nullptr);
  bool running() const { return running_; }

  VirtualDevice& device() { return device_; }
  DeviceServer& server() { return server_; }
  const BenchOptions& options() const { return options_; }
  // Valid after a Start that asked for them.
  BenchMeter& meter() { return *meter_; }
  TestServer& testServer() { return *testServer_; }

  // The jig's settings (taken under the device lock).
  JigSettings jig();
  void SetJig(const JigSettings& jig);
  // What the meter measures: the jig's meter voltage.
  MeterInput meterInput();

  uint16_t usbPort() const { return server_.port(kUsbEndpoint); }
  uint16_t ethPort() const { return server_.port(kEthEndpoint); }
  // "host:port" as bound, ready for QXM_USB_ENDPOINT and QX_DEVICE_IP.
  std::string usbEndpoint() const { return server_.address(kUsbEndpoint); }
  std::string ethEndpoint() const { return server_.address(kEthEndpoint); }

  // Fault injection.
  void SetFaults(const LinkFaults& faults) { server_.SetFaults(faults); }
  void SetUsbFaults(const LinkFaults& faults) { server_.SetFaults(kUsbEndpoint, faults); }
  void SetEthFaults(const LinkFaults& faults) { server_.SetFaults(kEthEndpoint, faults); }
  void SetFlashWriteFault(int failAfter) { device_.SetFlashWriteFault(failAfter); }

  // Writes the state file now (no-op without one).
  bool SaveState(std::string* error);

 private:
  bool StartParts(std::string* error);
  // Claims the state file, loads it and its journal, and keeps the device's
  // changes in them from now on.
  bool LoadStateFile(std::string* error);
  VirtualDevice::Persistence StatePersistence(const std::string& journal);
  void SaverLoop();

  BenchOptions options_;
  VirtualDevice device_;
  Jig jig_;
  DeviceServer server_;
  std::unique_ptr<BenchMeter> meter_;
  std::unique_ptr<TestServer> testServer_;
  bool running_ = false;

  std::mutex saveMutex_;  // one save at a time; guards the fields below
  std::condition_variable saveWake_;
  bool saverStop_ = false;
  bool saveSoon_ = false;
  uint64_t savedGeneration_ = 0;
  std::string saveError_;
  std::thread saver_;
  platform::FileLock stateLock_;
  size_t journalBytes_ = 0;  // under the device lock
  std::atomic<bool> foldSoon_{false};
};

}  // namespace qxsim
