// The flash interface: key, read pointer, read window, page erase and write
// window (61800..61847), with an injectable write fault. The read pointer
// does not move by itself; the station sets it before every window read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sim/core/flash.h"
#include "sim/core/register_map.h"

namespace qxsim {

constexpr uint16_t kFlashKeyRegister = 61800;      // U32, written
constexpr uint16_t kFlashPointerRegister = 61810;  // U32, read pointer
constexpr uint16_t kFlashReadWindow = 61812;       // 16 registers
constexpr uint16_t kFlashEraseRegister = 61820;    // U32, page base
constexpr uint16_t kFlashWriteWindow = 61830;      // 2 + n/2 registers
constexpr size_t kFlashWindowBytes = 32;
constexpr uint16_t kFlashInterfaceFirst = 61800;
constexpr size_t kFlashInterfaceCount = 48;  // up to the write window's end

class FlashInterface {
 public:
  explicit FlashInterface(FlashMemory& flash) : flash_(flash) {}
  void Install(RegisterMap& map);
  void PowerOn();

  // -1: off; otherwise the number of window writes that still succeed
  // before every further one fails (exception 4).
  void SetWriteFault(int failAfter) { failAfter_ = failAfter < 0 ? -1 : failAfter; }

 private:
  uint8_t Read(uint16_t address, size_t count, uint16_t* values);
  uint8_t Write(uint16_t address, size_t count, const uint16_t* values);
  uint8_t WriteWindow(size_t count, const uint16_t* values);

  FlashMemory& flash_;
  uint32_t key_ = 0;
  uint32_t pointer_ = 0;
  int failAfter_ = -1;
};

}  // namespace qxsim
