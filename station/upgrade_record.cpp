#include "station/upgrade_record.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "base/sha256.h"
#include "harness/measure.h"
#include "platform/file_system.h"
#include "platform/settings.h"
#include "platform/status.h"
#include "station/record_json.h"
#include "station/run_record.h"

using nlohmann::json;

namespace {

// The sequencer's states by their names in the record.
const char* const kStepNames[kUpgradeStateCount] = {
    "CheckingDevice",  "CheckingFile", "Erasing", "ErasingInfoPage", "Writing",
    "WritingInfoPage", "Restarting",   "Waiting", "FinalCheck",
};

// The file's name without its folder (either separator).
std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

json Image(const std::string& path) {
  json image = {{"name", BaseName(path).empty() ? std::string("-") : Utf8Text(BaseName(path))},
                {"size", nullptr},
                {"sha256", nullptr}};
  std::FILE* file = nullptr;
  if (platform::OpenRegularFile(path.c_str(), &file) != platform::kOk) return image;
  Sha256 sha;
  uint64_t size = 0;
  char buffer[65536];
  size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    sha.Update(buffer, n);
    size += n;
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) return image;
  image["size"] = size;
  image["sha256"] = sha.HexDigest();
  return image;
}

json Versions(float firmware, float bootloader) {
  return {{"firmware", VersionOrNull(firmware)}, {"bootloader", VersionOrNull(bootloader)}};
}

}  // namespace

FailureSource UpgradeFailureSource(int32_t code) {
  if (code == kUpgradeInterrupted) return kSourceAborted;
  // The file's refusals, and an upgrade that never began (a refused path).
  if ((code >= kUpgradeWrongDevice && code <= kUpgradeImageTooLarge) || code < 0) {
    return kSourceStation;
  }
  return kSourceLink;
}

std::string UpgradeRecordJson(const UpgradeOutcome& outcome, const std::string& id,
                              const std::string& host) {
  const UpgradeRun& run = outcome.run;
  const bool passed = outcome.ran && outcome.result == 0;
  const bool aborted = outcome.result == kUpgradeInterrupted;
  const char* result = passed ? "passed" : aborted ? "aborted" : "failed";
  const char* cause =
      passed ? nullptr : CauseName(kLevelFatal, UpgradeFailureSource(outcome.result), false);
  json out = RecordHead("qxtest", id, host, outcome.startMs, outcome.endMs, result, cause);
  out["station"] = nullptr;
  out["mask"] = nullptr;
  const bool after = !std::isnan(run.firmwareAfter);
  out["device"] = {
      {"serialNumber", nullptr},
      {"mac", nullptr},
      {"name", nullptr},
      {"edition", nullptr},
      {"firmware", VersionOrNull(after ? run.firmwareAfter : run.firmwareBefore)},
      {"bootloader", VersionOrNull(after ? run.bootloaderAfter : run.bootloaderBefore)}};
  out["jig"] = {{"type", nullptr}, {"code", nullptr}, {"values", nullptr}};
  out["limits"] = nullptr;
  out["tests"] = json::array();
  json steps = json::array();
  for (uint32_t s = 0; s < kUpgradeStateCount; ++s) {
    if (run.stepReached[s])
      steps.push_back({{"name", kStepNames[s]}, {"durationMs", run.stepMs[s]}});
  }
  out["upgrade"] = {{"image", Image(outcome.path)},
                    {"before", Versions(run.firmwareBefore, run.bootloaderBefore)},
                    {"after", Versions(run.firmwareAfter, run.bootloaderAfter)},
                    {"pagesWritten", run.writtenPages + (run.infoPageWritten ? 1u : 0u)},
                    {"code", passed ? json() : json(outcome.result)},
                    {"steps", steps}};
  return RecordText(out);
}

int WriteUpgradeRecord(const std::string& dir, const UpgradeOutcome& outcome, std::string* path,
                       int* osError) {
  char host[256];
  std::string stamp;
  for (char c : UtcText(outcome.startMs / 1000)) {
    if (c != '-' && c != ':') stamp += c;
  }
  return WriteRecordFile(
      dir + "/upgrade_" + stamp,
      UpgradeRecordJson(outcome, RandomUuid(), platform::HostName(host, sizeof host)), path,
      osError);
}
