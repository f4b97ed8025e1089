// The device's register map and its extension point.
//
// Every register the device answers belongs to one RegisterBlock, mapped
// over a range of 16-bit register addresses. A feature adds its registers in
// a file of its own:
//
//   1. write a class derived from RegisterBlock (or use StoredRegisters for
//      plain read/write storage, or FunctionRegisters for a pair of
//      lambdas, or PerRegisterBlock to host a block that serves one register
//      at a time);
//   2. write an installer, void InstallXxx(RegisterMap& map, DeviceCore&
//      core), that calls map.Map(first, count, block) for each range;
//   3. call the installer from VirtualDevice's constructor
//      (virtual_device.cpp) or later through VirtualDevice::Install.
//
// Rules the device keeps for every block:
//   - Handlers run with the device lock held: they may use the DeviceCore
//     freely, and must not call VirtualDevice's public operations (that
//     would deadlock).
//   - A request record (address, count) goes to the block that holds its
//     first register; the part that runs past the block's end goes to the
//     next block, and so on. A record that touches a register no block
//     holds is refused with kIllegalDataAddress before any block is called.
//     So a block that needs a whole record at once (a write window) must
//     cover every register of the longest record it accepts.
//   - Read and Write get absolute addresses and host-order 16-bit values
//     (the wire's big-endian order is undone before and redone after);
//     they return 0 or an exception code (sim_protocol.h).
//   - PowerOn puts volatile registers back to their power-on values; it
//     runs at construction and after every restart.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace qxsim {

// 32-bit values in two registers, high word first.
inline void PutU32(uint32_t v, uint16_t* regs) {
  regs[0] = static_cast<uint16_t>(v >> 16);
  regs[1] = static_cast<uint16_t>(v);
}

inline uint32_t GetU32(const uint16_t* regs) {
  return static_cast<uint32_t>(regs[0]) << 16 | regs[1];
}

inline void PutF32(float f, uint16_t* regs) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  PutU32(bits, regs);
}

inline float GetF32(const uint16_t* regs) {
  uint32_t bits = GetU32(regs);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

class RegisterBlock {
 public:
  virtual ~RegisterBlock() = default;
  virtual uint8_t Read(uint16_t address, size_t count, uint16_t* values) = 0;
  virtual uint8_t Write(uint16_t address, size_t count, const uint16_t* values) = 0;
  virtual void PowerOn() {}
};

// Plain registers: read back what was written, zero at power-on.
class StoredRegisters : public RegisterBlock {
 public:
  StoredRegisters(uint16_t first, size_t count) : first_(first), values_(count, 0) {}
  uint8_t Read(uint16_t address, size_t count, uint16_t* values) override;
  uint8_t Write(uint16_t address, size_t count, const uint16_t* values) override;
  void PowerOn() override;

 private:
  uint16_t first_;
  std::vector<uint16_t> values_;
};

// A block from two functions; a missing write function makes the block
// read-only (writes: kIllegalDataAddress).
class FunctionRegisters : public RegisterBlock {
 public:
  using ReadFn = std::function<uint8_t(uint16_t address, size_t count, uint16_t* values)>;
  using WriteFn = std::function<uint8_t(uint16_t address, size_t count, const uint16_t* values)>;
  FunctionRegisters(ReadFn read, WriteFn write, std::function<void()> powerOn = nullptr)
      : read_(std::move(read)), write_(std::move(write)), powerOn_(std::move(powerOn)) {}
  uint8_t Read(uint16_t address, size_t count, uint16_t* values) override;
  uint8_t Write(uint16_t address, size_t count, const uint16_t* values) override;
  void PowerOn() override;

 private:
  ReadFn read_;
  WriteFn write_;
  std::function<void()> powerOn_;
};

// Hosts a block that answers one register at a time with bool functions
// (true: served), such as the jig and clock registers. Registers are handed
// over in ascending order, so a block may latch a 32-bit value on its first
// half.
class PerRegisterBlock : public RegisterBlock {
 public:
  using ReadOne = std::function<bool(uint32_t address, uint16_t* value)>;
  using WriteOne = std::function<bool(uint32_t address, uint16_t value)>;
  PerRegisterBlock(ReadOne read, WriteOne write)
      : read_(std::move(read)), write_(std::move(write)) {}
  uint8_t Read(uint16_t address, size_t count, uint16_t* values) override;
  uint8_t Write(uint16_t address, size_t count, const uint16_t* values) override;

 private:
  ReadOne read_;
  WriteOne write_;
};

class RegisterMap {
 public:
  // Maps [first, first + count) to block; one block may be mapped over
  // several ranges. Throws std::logic_error on an overlap or an empty or
  // out-of-range span: two features claiming one register is a bench bug.
  void Map(uint16_t first, size_t count, std::shared_ptr<RegisterBlock> block);
  bool IsMapped(uint16_t address) const;

  // The register run [address, address + count) across the blocks, as
  // described above. count 0 is a no-op.
  uint8_t Read(uint16_t address, size_t count, uint16_t* values) const;
  uint8_t Write(uint16_t address, size_t count, const uint16_t* values) const;
  // True when every register of the run belongs to some block.
  bool Covers(uint16_t address, size_t count) const;

  void PowerOn() const;

 private:
  struct Span {
    size_t count;
    std::shared_ptr<RegisterBlock> block;
  };
  struct Piece {
    RegisterBlock* block;
    uint16_t address;
    size_t count;
  };
  // The piece of [at, end) that starts at at; false when no block holds at.
  bool NextPiece(uint32_t at, uint32_t end, Piece* piece) const;
  template <typename Values, typename Call>
  uint8_t Walk(uint16_t address, size_t count, Values values, Call call) const;

  std::map<uint32_t, Span> spans_;  // by first register
};

}  // namespace qxsim
