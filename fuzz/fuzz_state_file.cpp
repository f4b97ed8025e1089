// qxsim's state file and journal on any bytes. The file's CRC is made to
// match, so that the sections themselves are reached, and what parses is
// loaded into a device as a start would.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/core/state_file.h"
#include "sim/virtual_device.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  std::vector<uint8_t> file(data, data + size);
  uint32_t crc = qxsim::Crc32(file.data(), file.size());
  for (int i = 0; i < 4; ++i) file.push_back(static_cast<uint8_t>(crc >> (24 - 8 * i)));

  std::vector<qxsim::StateSection> sections;
  std::string error;
  if (qxsim::ParseStateFile(file.data(), file.size(), &sections, &error)) {
    qxsim::VirtualDevice device;
    device.LoadState(sections, &error);
  }
  // The journal as it would be found beside the file.
  for (const qxsim::FlashPatch& patch : qxsim::ParseJournal(data, size)) {
    if (patch.bytes.size() + 12 > size) __builtin_trap();
  }
  return 0;
}
