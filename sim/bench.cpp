#include "sim/bench.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/file.h"
#include "platform/status.h"
#include "sim/core/state_file.h"

namespace qxsim {

namespace {

// Every change reaches the file before it is answered, unsynced; the saver
// syncs it to the disk once the changes pause, or at once when the device
// restarts.
constexpr auto kSaverPoll = std::chrono::milliseconds(200);
constexpr auto kSaveQuiet = std::chrono::milliseconds(500);
// A journal this long is folded into the state file without waiting for a pause.
constexpr size_t kJournalFoldBytes = 8u << 20;

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
  server_.SetIdleTimeoutMs(options_.idleTimeoutMs);
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
  if (StartParts(error)) return true;
  device_.SetPersistence(VirtualDevice::Persistence());
  stateLock_.Release();
  return false;
}

VirtualDevice::Persistence Bench::StatePersistence(const std::string& journal) {
  VirtualDevice::Persistence persistence;
  persistence.journal = [this, journal](const std::vector<FlashPatch>& patches, std::string* why) {
    std::vector<uint8_t> records;
    for (const FlashPatch& patch : patches) AppendJournalRecord(patch, &records);
    int osError = 0;
    if (platform::AppendToFile(journal.c_str(), records.data(), records.size(), &osError, false) !=
        platform::kOk) {
      *why = "cannot write " + journal + ": " + std::strerror(osError);
      return false;
    }
    journalBytes_ += records.size();
    if (journalBytes_ > kJournalFoldBytes) foldSoon_ = true;
    return true;
  };
  // The whole state, then an empty journal: a kill between the two leaves
  // records that the state already holds, and replaying them changes nothing.
  persistence.save = [this, journal](const std::vector<StateSection>& state, bool sync,
                                     std::string* why) {
    if (!WriteStateFile(options_.statePath, state, why, sync)) return false;
    int osError = 0;
    if (platform::WriteFileAtomically(journal.c_str(), nullptr, 0, &osError, sync) !=
        platform::kOk) {
      *why = "cannot write " + journal + ": " + std::strerror(osError);
      return false;
    }
    journalBytes_ = 0;
    return true;
  };
  return persistence;
}

bool Bench::LoadStateFile(std::string* error) {
  std::string lockPath = options_.statePath + ".lock";
  int osError = 0;
  int claim = stateLock_.Acquire(lockPath.c_str(), &osError);
  if (claim != platform::kOk) {
    *error = claim == platform::kInUse
                 ? "state file " + options_.statePath + " is in use by another bench"
                 : "cannot write " + lockPath + ": " + std::strerror(osError);
    return false;
  }
  const std::string journal = options_.statePath + ".journal";
  VirtualDevice::Persistence persistence = StatePersistence(journal);
  std::vector<StateSection> sections;
  StateFileRead read = ReadStateFile(options_.statePath, &sections, error);
  if (read == StateFileRead::kBad) return false;
  if (read == StateFileRead::kLoaded && !device_.LoadState(sections, error)) return false;
  std::vector<FlashPatch> patches;
  if (!ReadJournal(journal, &patches, error)) return false;
  for (const FlashPatch& patch : patches) {
    if (FlashMemory::RegionOf(patch.address, static_cast<uint32_t>(patch.bytes.size())) ==
        nullptr) {
      *error = "journal " + journal + " holds a change outside the flash";
      return false;
    }
    device_.PokeFlash(patch.address, patch.bytes);
  }
  if (!patches.empty()) device_.PowerOn();
  device_.SetPersistence(std::move(persistence));
  // Folds the journal into the state file (and creates a missing one).
  if (!SaveState(error)) return false;
  return true;
}

bool Bench::StartParts(std::string* error) {
  EndpointSpec usb{"usb", "", 0};
  EndpointSpec eth{"eth", "", 0};
  if (!ParseEndpoint(options_.usbEndpoint, &usb, error) ||
      !ParseEndpoint(options_.ethEndpoint, &eth, error)) {
    return false;
  }
  if (!options_.statePath.empty() && !LoadStateFile(error)) return false;
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
  bool saved = SaveState(&failure);
  device_.SetPersistence(VirtualDevice::Persistence());
  stateLock_.Release();
  if (!saved && error != nullptr) *error = failure;
  return saved;
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
  // Taken before the snapshot: a change during the save shows as news. The
  // device writes the file under its own lock, so a save never crosses the
  // write of a request.
  uint64_t generation = device_.StateGeneration();
  if (!device_.Persist(true, error)) return false;
  std::lock_guard<std::mutex> lock(saveMutex_);
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
    bool due = saveSoon_ || foldSoon_ || Clock::now() - changed >= kSaveQuiet;
    if (now == savedGeneration_ || !due) continue;
    saveSoon_ = false;
    foldSoon_ = false;
    lock.unlock();
    std::string error;
    if (!SaveState(&error)) std::fprintf(stderr, "qxsim: %s\n", error.c_str());
    lock.lock();
  }
}

}  // namespace qxsim
