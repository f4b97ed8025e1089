#include "sim/line.h"

#include <cstdlib>

namespace qxsim {

namespace {

// host:port with the port moved on by k; port 0 (any free port) stays.
bool ShiftEndpoint(const std::string& endpoint, int k, std::string* out) {
  EndpointSpec spec;
  std::string ignored;
  if (!ParseEndpoint(endpoint, &spec, &ignored)) return false;
  long port = spec.port;
  if (port != 0) port += k;
  if (port > 65535) return false;
  *out = spec.host + ":" + std::to_string(port);
  return true;
}

}  // namespace

bool BenchOptionsForDevice(const BenchOptions& first, int k, BenchOptions* out,
                           std::string* error) {
  *out = first;
  if (k == 0) return true;
  if (!ShiftEndpoint(first.usbEndpoint, k, &out->usbEndpoint) ||
      !ShiftEndpoint(first.ethEndpoint, k, &out->ethEndpoint)) {
    *error = "no room for device " + std::to_string(k) + "'s endpoints";
    return false;
  }
  std::string suffix = "." + std::to_string(k);
  if (!first.statePath.empty()) out->statePath += suffix;
  if (!first.meter.linkPath.empty()) out->meter.linkPath += suffix;
  out->meter.seed += static_cast<uint32_t>(k);
  // Given identities stay distinct, as on a real line.
  out->device.serialNumber += static_cast<uint32_t>(k);
  out->device.mac += static_cast<uint64_t>(k);
  out->withTestServer = false;
  return true;
}

bool Line::Start(const BenchOptions& first, int devices, std::string* error) {
  std::vector<BenchOptions> perDevice(static_cast<size_t>(devices));
  for (int k = 0; k < devices; ++k) {
    if (!BenchOptionsForDevice(first, k, &perDevice[static_cast<size_t>(k)], error)) return false;
  }
  for (const BenchOptions& o : perDevice) {
    benches_.push_back(std::make_unique<Bench>(o));
    if (!benches_.back()->Start(error)) {
      *error = "device " + std::to_string(benches_.size() - 1) + ": " + *error;
      benches_.clear();
      return false;
    }
  }
  return true;
}

bool Line::Stop(std::string* error) {
  bool ok = true;
  for (std::unique_ptr<Bench>& bench : benches_) {
    std::string failure;
    if (!bench->Stop(&failure)) {
      *error = failure;
      ok = false;
    }
  }
  return ok;
}

}  // namespace qxsim
