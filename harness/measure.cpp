#include "harness/measure.h"

#include <cmath>

#include "base/text.h"

namespace {

void Add(TestContext* context, const char* name, double value, const char* unit, double low,
         double high, MeasurementOutcome outcome) {
  // A reading that is no finite number has no place among the numbers: the
  // test's verdict and details say what happened.
  if (context == nullptr || !std::isfinite(value)) return;
  Measurement m;
  m.name = name;
  m.value = value;
  m.unit = unit;
  m.low = std::isfinite(low) ? low : kNoLimit;
  m.high = std::isfinite(high) ? high : kNoLimit;
  m.outcome = std::isnan(m.low) && std::isnan(m.high) ? kOutcomeNone : outcome;
  context->measurements.push_back(std::move(m));
}

}  // namespace

bool Measure(TestContext* context, const char* name, double value, const char* unit, double low,
             double high) {
  const bool inside = !std::isnan(value) && (std::isnan(low) || value >= low) &&
                      (std::isnan(high) || value <= high);
  Add(context, name, value, unit, low, high, inside ? kOutcomePass : kOutcomeFail);
  return inside;
}

void MeasureJudged(TestContext* context, const char* name, double value, const char* unit,
                   double low, double high, bool passed) {
  Add(context, name, value, unit, low, high, passed ? kOutcomePass : kOutcomeFail);
}

void Report(TestContext* context, const char* name, double value, const char* unit) {
  Add(context, name, value, unit, kNoLimit, kNoLimit, kOutcomeNone);
}

void SetFailureSource(TestContext* context, FailureSource source) {
  if (context != nullptr) context->failureSource = source;
}

const char* CauseName(uint32_t status, FailureSource source, bool stopped) {
  if (status == kLevelPassed || status == kLevelNotRun) return nullptr;
  if (stopped || status == kLevelRunning) return "aborted";
  static const char* const kNames[] = {"device", "link",    "instrument",
                                       "server", "station", "aborted"};
  return source < sizeof kNames / sizeof kNames[0] ? kNames[source] : "station";
}

void AppendLimit(std::string* text, const char* name, double value) {
  char piece[kPieceCapacity + 40];
  TextFormat(piece, sizeof piece, "=%.17g\n", value);
  *text += name;
  *text += piece;
}

void AppendLimits(std::string* text, const char* name, const double* values, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    *text += name;
    *text += "[" + std::to_string(i) + "]";
    AppendLimit(text, "", values[i]);
  }
}
