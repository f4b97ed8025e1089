#include "sim/production_faults.h"

namespace qxsim {

namespace {

bool ParseLine(const std::string& text, int* line) {
  uint64_t v = 0;
  if (!cli::ParseUnsigned(text.c_str(), kSimDioLines - 1, &v)) return false;
  *line = static_cast<int>(v);
  return true;
}

bool TakeShort(cli::Value& v, DioFaults* dio) {
  const std::string& value = v.string();
  size_t comma = value.find(',');
  if (comma == std::string::npos || !ParseLine(value.substr(0, comma), &dio->shortA) ||
      !ParseLine(value.substr(comma + 1), &dio->shortB) || dio->shortA == dio->shortB) {
    return v.Refuse(cli::Says("bad line pair (two lines 0..22): "));
  }
  return true;
}

}  // namespace

void AddProductionFaultOptions(cli::OptionTable* table, ProductionFaults* faults) {
  table->Option("--fault-dio-short A,B", "digital lines A and B joined",
                [faults](cli::Value& v) { return TakeShort(v, &faults->dio); });
  table->Option(
      "--fault-dio-stuck-low N", "digital line N held low",
      cli::Whole(&faults->dio.stuckLow, kSimDioLines - 1, cli::Says("bad line (0..22): ")));
  table->Flag("--fault-dio-dead-outputs", "the digital outputs drive nothing",
              cli::Set(&faults->dio.deadOutputs, true));
  table->Flag("--fault-stream-bad-value", "one channel-0 stream value reads 0 V",
              cli::Set(&faults->stream.badValue, true));
  table->Flag("--fault-stream-oversize", "stream blocks claim more than 100 values",
              cli::Set(&faults->stream.oversizeBlock, true));
  table->Option("--fault-counter N", "counter N (0..3) counts one too many (repeatable)",
                cli::Whole(0, kSimCounters - 1, cli::Says("bad counter (0..3): "),
                           [faults](uint64_t n) { faults->wrongCounters |= 1u << n; }));
  table->Flag("--fault-non-factory", "startup settings are not the factory ones",
              cli::Set(&faults->nonFactorySettings, true));
}

}  // namespace qxsim
