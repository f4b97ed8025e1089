#include "tests/support/station_bench.h"

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <thread>

uint64_t SkipWaitsClock::TickMs() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count()) +
         skipped_.load();
}

int64_t SkipWaitsClock::WallSeconds() { return static_cast<int64_t>(std::time(nullptr)); }

void SkipWaitsClock::SleepMs(uint32_t ms) {
  const uint32_t most = ms >= 100 ? longRealMs_.load() : realMs_.load();
  const uint32_t real = ms < most ? ms : most;
  if (real > 0) std::this_thread::sleep_for(std::chrono::milliseconds(real));
  skipped_ += ms - real;
}

void AddStationPeers(qxsim::BenchOptions* options, const std::string& linkPath,
                     const std::string& resultsFile, bool realWaits) {
  options->withMeter = true;
  options->meter.linkPath = linkPath;
  if (!realWaits) {
    options->meter.msPerReading = 1;
    options->meter.charsPerSecond = 0;
  }
  options->withTestServer = true;
  options->testServer.resultsFile = resultsFile;
}

bool StartStationBench(qxsim::Bench* bench, std::string* error) {
  if (!bench->Start(error)) return false;
  setenv("QXM_USB_ENDPOINT", bench->usbEndpoint().c_str(), 1);
  setenv("QXTS_ENDPOINT", bench->testServer().endpoint().c_str(), 1);
  setenv("QX_COM3", bench->options().meter.linkPath.c_str(), 1);
  return true;
}

void ClearStationEnvironment() {
  for (const char* name : {"QXM_USB_ENDPOINT", "QXTS_ENDPOINT", "QX_COM3"}) unsetenv(name);
}
