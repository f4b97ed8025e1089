#include "sim/bench.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "sim/core/state_file.h"

namespace qxsim {

namespace {

// A flash being written changes many times a second; the file follows
// once the changes pause, or at once when the device restarts.
constexpr auto kSaverPoll = std::chrono::milliseconds(200);
constexpr auto kSaveQuiet = std::chrono::milliseconds(500);

// The device's address as its register gives it: a numeric IPv4 host, else 0.
uint32_t Ipv4Number(const std::string& host) {
  uint32_t value = 0;
  int parts = 0;
  size_t at = 0;
  while (parts < 4) {
    size_t end = host.find('.', at);
    std::string piece = host.substr(at, end == std::string::npos ? std::string::npos : end - at);
    if (piece.empty() || piece.size() > 3 ||
        piece.find_first_not_of("0123456789") != std::string::npos) {
      return 0;
    }
    int n = std::stoi(piece);
    if (n > 255) return 0;
    value = value << 8 | static_cast<uint32_t>(n);
    ++parts;
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return parts == 4 ? value : 0;
}

}  // namespace

Bench::Bench(BenchOptions options)
    : options_(std::move(options)), device_(options_.device), jig_(options_.jig), server_(device_) {
  jig_.AttachTo(device_);
  device_.WithCore([this](DeviceCore& core) {
    const ProductionFaults& faults = options_.production;
    core.dio.SetFaults(faults.dio);
    core.stream.SetFaults(faults.stream);
    core.counters.SetWrongCounters(faults.wrongCounters);
  });
  device_.SetFlashWriteFault(options_.flashWriteFailAfter);
  server_.SetRestartMs(options_.restartMs);
  server_.SetRestartListener([this] {
    std::lock_guard<std::mutex> lock(saveMutex_);
    saveSoon_ = true;
    saveWake_.notify_all();
  });
}

Bench::~Bench() { Stop(); }

bool Bench::Start(std::string* error) {
  if (running_) {
    *error = "the bench is already running";
    return false;
  }
  EndpointSpec usb{"usb", "", 0};
  EndpointSpec eth{"eth", "", 0};
  if (!ParseEndpoint(options_.usbEndpoint, &usb, error) ||
      !ParseEndpoint(options_.ethEndpoint, &eth, error)) {
    return false;
  }
  if (!options_.statePath.empty()) {
    std::vector<StateSection> sections;
    StateFileRead read = ReadStateFile(options_.statePath, &sections, error);
    if (read == StateFileRead::kBad) return false;
    if (read == StateFileRead::kLoaded && !device_.LoadState(sections, error)) return false;
    if (read == StateFileRead::kMissing && !SaveState(error)) return false;
    savedGeneration_ = device_.StateGeneration();
  }
  if (options_.production.nonFactorySettings) {
    device_.WithCore([](DeviceCore& core) { core.settings.SetFactory(false); });
  }
  if (!server_.Start({usb, eth}, error)) return false;
  uint32_t ip = Ipv4Number(eth.host);
  device_.WithCore([ip](DeviceCore& core) { core.settings.SetIpAddress(ip); });
  server_.SetFaults(kUsbEndpoint, options_.usbFaults);
  server_.SetFaults(kEthEndpoint, options_.ethFaults);
  if (options_.withMeter) {
    meter_ = std::make_unique<BenchMeter>(options_.meter, meterInput());
    if (!meter_->Start(error)) {
      server_.Stop();
      return false;
    }
  }
  if (options_.withTestServer) {
    testServer_ = std::make_unique<TestServer>(options_.testServer);
    if (!testServer_->Start(error)) {
      if (meter_) meter_->Stop();
      server_.Stop();
      return false;
    }
  }
  running_ = true;
  if (!options_.statePath.empty()) {
    saverStop_ = false;
    saver_ = std::thread([this] { SaverLoop(); });
  }
  return true;
}

bool Bench::Stop(std::string* error) {
  if (!running_) return true;
  if (testServer_) testServer_->Stop();
  if (meter_) meter_->Stop();
  server_.Stop();
  if (saver_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(saveMutex_);
      saverStop_ = true;
      saveWake_.notify_all();
    }
    saver_.join();
  }
  running_ = false;
  std::string failure;
  if (!SaveState(&failure)) {
    if (error != nullptr) *error = failure;
    return false;
  }
  return true;
}

JigSettings Bench::jig() {
  return device_.WithCore([this](DeviceCore&) { return jig_.settings(); });
}

void Bench::SetJig(const JigSettings& jig) {
  device_.WithCore([this, &jig](DeviceCore&) { jig_.SetSettings(jig); });
}

MeterInput Bench::meterInput() {
  return [this] { return device_.WithCore([this](DeviceCore&) { return jig_.MeterVolts(); }); };
}

bool Bench::SaveState(std::string* error) {
  if (options_.statePath.empty()) return true;
  std::lock_guard<std::mutex> lock(saveMutex_);
  // Taken before the snapshot: a change during the save shows as news.
  uint64_t generation = device_.StateGeneration();
  if (!WriteStateFile(options_.statePath, device_.SaveState(), error)) return false;
  savedGeneration_ = generation;
  return true;
}

// The saver paces file writes in real time, whatever clock the device runs on.
void Bench::SaverLoop() {
  using Clock = std::chrono::steady_clock;
  uint64_t seen = device_.StateGeneration();
  Clock::time_point changed = Clock::now();
  std::unique_lock<std::mutex> lock(saveMutex_);
  while (!saverStop_) {
    saveWake_.wait_for(lock, kSaverPoll);
    if (saverStop_) break;
    uint64_t now = device_.StateGeneration();
    if (now != seen) {
      seen = now;
      changed = Clock::now();
    }
    bool due = saveSoon_ || Clock::now() - changed >= kSaveQuiet;
    if (now == savedGeneration_ || !due) continue;
    saveSoon_ = false;
    lock.unlock();
    std::string error;
    if (!SaveState(&error)) std::fprintf(stderr, "qxsim: %s\n", error.c_str());
    lock.lock();
  }
}

}  // namespace qxsim
