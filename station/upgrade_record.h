// The record of a firmware upgrade (qxtest --record), in the same schema as
// the station's run records.
#pragma once

#include <cstdint>
#include <string>

#include "harness/measurement.h"
#include "upgrade/run_upgrade.h"

// Where the failure of an upgrade that ended with code came from.
FailureSource UpgradeFailureSource(int32_t code);

// The record as JSON; the image file is read again for its size and SHA-256.
std::string UpgradeRecordJson(const UpgradeOutcome& outcome, const std::string& id,
                              const std::string& host);

// Writes it into dir as "upgrade_STARTZ.json" (never over another record);
// as WriteRunRecord.
int WriteUpgradeRecord(const std::string& dir, const UpgradeOutcome& outcome, std::string* path,
                       int* osError = nullptr);
