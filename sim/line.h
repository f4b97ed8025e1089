// A production line of virtual benches: device k serves on device 0's
// endpoints moved on by k (port 0 stays: any free port), keeps its own state
// file and meter link (".k" added) and its own given identity (serial number
// and MAC moved on by k); one test server, with device 0, serves them all.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "sim/bench.h"

namespace qxsim {

constexpr int kMaxLineDevices = 64;

// Device k's options from device 0's; false with *error when its endpoints
// do not fit.
bool BenchOptionsForDevice(const BenchOptions& first, int k, BenchOptions* out, std::string* error);

class Line {
 public:
  Line() = default;
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // Starts devices benches; false with *error (naming the device) when one
  // cannot start (those started stop again).
  bool Start(const BenchOptions& first, int devices, std::string* error);
  // Stops every bench; false with *error when a state file could not be saved.
  bool Stop(std::string* error);

  size_t size() const { return benches_.size(); }
  Bench& bench(size_t k) { return *benches_.at(k); }

 private:
  std::vector<std::unique_ptr<Bench>> benches_;
};

}  // namespace qxsim
