// qxsim's meter and test-server line parsers on any lines: the meter's
// state stays within what a meter can hold and every reading it sends is
// one the station's parser takes; the server's replies are status lines the
// station's parser reads back as sent, numbers are never handed out twice,
// and only well-formed results are kept.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "instruments/meter.h"
#include "server/server_link.h"
#include "sim/meter.h"
#include "sim/qxts_server.h"

namespace {

std::vector<std::string> Lines(const std::string& text, size_t most) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size() && lines.size() < most) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

void CheckMeter(uint8_t control, const std::string& text) {
  qxsim::MeterOptions options;
  options.fault = static_cast<qxsim::MeterFault>(control % 4);
  double volts = 0;
  std::memcpy(&volts, text.data(), text.size() >= sizeof volts ? sizeof volts : 0);
  qxsim::BenchMeter meter(options, [volts] { return volts; });
  uint64_t now = 0;
  // A few lines: one READ? may ask for 50000 readings.
  for (std::string line : Lines(text, 24)) {
    std::string kept;
    for (char c : line) {
      if (c != '\r') kept += c;  // as the meter's line reader takes them
    }
    meter.HandleLine(kept, now += 10);
  }
  qxsim::MeterState state = meter.state();
  static const double kRanges[] = {0.1, 1.0, 10.0, 100.0, 1000.0};
  bool rangeOk = false;
  for (double r : kRanges) rangeOk = rangeOk || state.rangeVolts == r;
  if (!rangeOk || state.triggerCount < 1 || state.triggerCount > 50000) std::abort();
  if (options.fault != qxsim::MeterFault::kNone) return;
  for (const std::string& answer : Lines(meter.queued(), SIZE_MAX)) {
    if (answer == options.identification) continue;
    for (size_t at = 0; at < answer.size(); at += kMeterFieldWidth) {
      double value = 0;
      if (!ParseMeterNumber(answer.data() + at, kMeterNumberWidth, &value)) std::abort();
      char separator =
          at + kMeterNumberWidth < answer.size() ? answer[at + kMeterNumberWidth] : '\n';
      if (separator != (at + kMeterFieldWidth < answer.size() ? ',' : '\n')) std::abort();
    }
  }
}

void CheckServer(uint8_t control, const std::string& text) {
  qxsim::TestServerOptions options;
  static const qxsim::ServerFault kFaults[] = {
      qxsim::ServerFault::kNone,       qxsim::ServerFault::kNone,  qxsim::ServerFault::kErrorStatus,
      qxsim::ServerFault::kSplitReply, qxsim::ServerFault::kClose, qxsim::ServerFault::kSilent};
  options.fault = kFaults[control % 6];
  options.faultStatus = 100 + control;
  options.lastSerial = options.firstSerial + (control >> 4);  // a range that runs out
  qxsim::TestServer server(options);
  bool identified = (control & 8) != 0;
  std::set<uint64_t> serials;
  std::set<uint64_t> macs;
  for (std::string line : Lines(text, 4096)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    bool close = false, silent = false, split = false;
    std::string reply = server.Handle(line, &identified, &close, &silent, &split);
    // Only a silent server or a closing connection leaves a request unanswered.
    if ((reply.empty() && !close && !silent) || (silent && !reply.empty())) std::abort();
    if (!reply.empty()) {
      // "NNN", then at most two " 0x" and sixteen upper-case digits, CR LF.
      size_t n = reply.size();
      if (n < 5 || reply.compare(n - 2, 2, "\r\n") != 0) std::abort();
      for (int i = 0; i < 3; ++i) {
        if (reply[i] < '0' || reply[i] > '9') std::abort();
      }
      size_t values = (n - 5) / 19;
      if ((n - 5) % 19 != 0 || values > 2) std::abort();
      ServerResponse response;
      std::string body = reply.substr(0, n - 2);
      ServerLink::ParseReply(body.c_str(), body.size(), &response);
      if (response.code != std::atoi(body.substr(0, 3).c_str())) std::abort();
      for (size_t k = 0; k < values; ++k) {
        std::string token = body.substr(3 + 19 * k, 19);
        if (token.compare(0, 3, " 0x") != 0) std::abort();
        for (size_t i = 3; i < token.size(); ++i) {
          if (!IsUpperHex(token[i])) std::abort();
        }
        uint64_t v = response.values[k + 1];
        if (!response.hex[k + 1] || v != std::strtoull(token.c_str() + 3, nullptr, 16))
          std::abort();
        // Serial numbers come first; a "mac" reply has the MAC alone.
        bool isMac = line == "mac" || k == 1;
        std::set<uint64_t>& seen = isMac ? macs : serials;
        if (!seen.insert(v).second) std::abort();  // handed out twice
        if (!isMac && (v < options.firstSerial || v > options.lastSerial)) std::abort();
      }
    }
    if (close) break;
  }
  for (const std::string& result : server.results()) {
    size_t open = result.find(" 0x");
    if (open == std::string::npos || result.compare(open + 19, 2, " {") != 0 ||
        result.back() != '}') {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 8192) return 0;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 1) != 0) {
    CheckMeter(data[0] >> 1, text);
  } else {
    CheckServer(data[0] >> 1, text);
  }
  return 0;
}
