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

#include "sim/core/flash.h"

namespace qxsim {

// One tagged piece of the state file.
struct StateSection {
  std::string tag;  // four characters
  std::vector<uint8_t> bytes;
};

// sync false: the file outlives a killed process but not a crashed machine,
// and the write costs no disk wait (platform::WriteFileAtomically).
bool WriteStateFile(const std::string& path, const std::vector<StateSection>& sections,
                    std::string* error, bool sync = true);

enum class StateFileRead { kLoaded, kMissing, kBad };
StateFileRead ReadStateFile(const std::string& path, std::vector<StateSection>* sections,
                            std::string* error);
// The sections of a whole file's bytes; false for anything but a whole,
// undamaged state file (*error then says so).
bool ParseStateFile(const uint8_t* data, size_t length, std::vector<StateSection>* sections,
                    std::string* error);

// The journal beside a state file: the flash changes since the file was
// last written, one record each (u32 address, u32 length, the bytes, and a
// CRC-32 of those), appended before the change is answered. Reading stops
// at the first record that is cut or damaged: nothing after it was answered.
void AppendJournalRecord(const FlashPatch& patch, std::vector<uint8_t>* out);
std::vector<FlashPatch> ParseJournal(const uint8_t* data, size_t length);
// The journal at path; empty when there is none. False with *error when it
// cannot be read.
bool ReadJournal(const std::string& path, std::vector<FlashPatch>* patches, std::string* error);

uint32_t Crc32(const uint8_t* data, size_t length);

}  // namespace qxsim
