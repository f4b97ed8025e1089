// The bench's state file: tagged sections (the flash regions and whatever
// features add), closed by a CRC-32, so that a damaged file is refused
// rather than taken for a device.
//
// Layout, big-endian: "QXSIMST1", u32 section count, then per section a
// four-character tag, a u32 length and the bytes; last a u32 CRC-32 of
// everything before it.
//
// Saving writes a temporary file beside the target, syncs it, renames it
// over the target and syncs the directory: a crash at any point leaves
// either the old file or the new one, never a half-written one.
#pragma once

#include <string>
#include <vector>

#include "sim/core/virtual_device.h"

namespace qxsim {

bool WriteStateFile(const std::string& path, const std::vector<StateSection>& sections,
                    std::string* error);

enum class StateFileRead { kLoaded, kMissing, kBad };
StateFileRead ReadStateFile(const std::string& path, std::vector<StateSection>* sections,
                            std::string* error);

uint32_t Crc32(const uint8_t* data, size_t length);

}  // namespace qxsim
