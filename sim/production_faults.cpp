#include "sim/production_faults.h"

#include "platform/number.h"

namespace qxsim {

namespace {

bool ParseLine(const std::string& text, int* line) {
  uint64_t v = 0;
  if (!platform::ParseWholeNumber(text.c_str(), kSimDioLines - 1, &v)) return false;
  *line = static_cast<int>(v);
  return true;
}

}  // namespace

const char* ProductionFaultUsage() {
  return "  --fault-dio-short A,B     digital lines A and B joined\n"
         "  --fault-dio-stuck-low N   digital line N held low\n"
         "  --fault-dio-dead-outputs  the digital outputs drive nothing\n"
         "  --fault-stream-bad-value  one channel-0 stream value reads 0 V\n"
         "  --fault-stream-oversize   stream blocks claim more than 100 values\n"
         "  --fault-counter N         counter N (0..3) counts one too many (repeatable)\n"
         "  --fault-non-factory       startup settings are not the factory ones\n";
}

int ParseProductionFaultOption(int argc, char** argv, int i, ProductionFaults* faults,
                               std::string* error) {
  if (i < 0 || i >= argc || argv[i] == nullptr) return 0;
  const std::string name = argv[i];
  if (name == "--fault-dio-dead-outputs") {
    faults->dio.deadOutputs = true;
    return 1;
  }
  if (name == "--fault-stream-bad-value") {
    faults->stream.badValue = true;
    return 1;
  }
  if (name == "--fault-stream-oversize") {
    faults->stream.oversizeBlock = true;
    return 1;
  }
  if (name == "--fault-non-factory") {
    faults->nonFactorySettings = true;
    return 1;
  }
  if (name != "--fault-dio-short" && name != "--fault-dio-stuck-low" && name != "--fault-counter") {
    return 0;
  }
  if (i + 1 >= argc || argv[i + 1] == nullptr) {
    *error = name + " needs a value";
    return -1;
  }
  const std::string value = argv[i + 1];
  if (name == "--fault-dio-short") {
    size_t comma = value.find(',');
    if (comma == std::string::npos || !ParseLine(value.substr(0, comma), &faults->dio.shortA) ||
        !ParseLine(value.substr(comma + 1), &faults->dio.shortB) ||
        faults->dio.shortA == faults->dio.shortB) {
      *error = "bad line pair (two lines 0..22): " + value;
      return -1;
    }
  } else if (name == "--fault-dio-stuck-low") {
    if (!ParseLine(value, &faults->dio.stuckLow)) {
      *error = "bad line (0..22): " + value;
      return -1;
    }
  } else {
    int counter = -1;
    if (!ParseLine(value, &counter) || counter >= int{kSimCounters}) {
      *error = "bad counter (0..3): " + value;
      return -1;
    }
    faults->wrongCounters |= 1u << counter;
  }
  return 2;
}

}  // namespace qxsim
