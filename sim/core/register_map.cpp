#include "sim/core/register_map.h"

#include <set>
#include <stdexcept>
#include <string>

#include "sim/core/protocol.h"

namespace qxsim {

uint8_t StoredRegisters::Read(uint16_t address, size_t count, uint16_t* values) {
  size_t at = address - first_;
  if (address < first_ || at + count > values_.size()) return kIllegalDataAddress;
  for (size_t i = 0; i < count; ++i) values[i] = values_[at + i];
  return kExceptionNone;
}

uint8_t StoredRegisters::Write(uint16_t address, size_t count, const uint16_t* values) {
  size_t at = address - first_;
  if (address < first_ || at + count > values_.size()) return kIllegalDataAddress;
  for (size_t i = 0; i < count; ++i) values_[at + i] = values[i];
  return kExceptionNone;
}

void StoredRegisters::PowerOn() { values_.assign(values_.size(), 0); }

uint8_t FunctionRegisters::Read(uint16_t address, size_t count, uint16_t* values) {
  if (!read_) return kIllegalDataAddress;
  return read_(address, count, values);
}

uint8_t FunctionRegisters::Write(uint16_t address, size_t count, const uint16_t* values) {
  if (!write_) return kIllegalDataAddress;
  return write_(address, count, values);
}

void FunctionRegisters::PowerOn() {
  if (powerOn_) powerOn_();
}

uint8_t PerRegisterBlock::Read(uint16_t address, size_t count, uint16_t* values) {
  for (size_t i = 0; i < count; ++i) {
    if (!read_ || !read_(address + static_cast<uint32_t>(i), &values[i])) {
      return kIllegalDataAddress;
    }
  }
  return kExceptionNone;
}

uint8_t PerRegisterBlock::Write(uint16_t address, size_t count, const uint16_t* values) {
  for (size_t i = 0; i < count; ++i) {
    if (!write_ || !write_(address + static_cast<uint32_t>(i), values[i])) {
      return kIllegalDataAddress;
    }
  }
  return kExceptionNone;
}

void RegisterMap::Map(uint16_t first, size_t count, std::shared_ptr<RegisterBlock> block) {
  if (count == 0 || first + count > 0x10000 || !block) {
    throw std::logic_error("bad register span at " + std::to_string(first));
  }
  auto next = spans_.lower_bound(first);
  if (next != spans_.end() && next->first < first + count) {
    throw std::logic_error("register " + std::to_string(next->first) + " mapped twice");
  }
  if (next != spans_.begin()) {
    auto previous = std::prev(next);
    if (previous->first + previous->second.count > first) {
      throw std::logic_error("register " + std::to_string(first) + " mapped twice");
    }
  }
  spans_[first] = Span{count, std::move(block)};
}

bool RegisterMap::IsMapped(uint16_t address) const { return Covers(address, 1); }

bool RegisterMap::NextPiece(uint32_t at, uint32_t end, Piece* piece) const {
  auto it = spans_.upper_bound(at);
  if (it == spans_.begin()) return false;
  --it;
  uint32_t spanEnd = it->first + static_cast<uint32_t>(it->second.count);
  if (at >= spanEnd) return false;
  uint32_t pieceEnd = end < spanEnd ? end : spanEnd;
  *piece = Piece{it->second.block.get(), static_cast<uint16_t>(at), pieceEnd - at};
  return true;
}

bool RegisterMap::Covers(uint16_t address, size_t count) const {
  uint32_t end = address + static_cast<uint32_t>(count);
  if (end > 0x10000) return false;
  Piece p{};
  for (uint32_t at = address; at < end; at += static_cast<uint32_t>(p.count)) {
    if (!NextPiece(at, end, &p)) return false;
  }
  return true;
}

// Checked whole before any block is called, so a run that strays off the map
// touches nothing.
template <typename Values, typename Call>
uint8_t RegisterMap::Walk(uint16_t address, size_t count, Values values, Call call) const {
  if (!Covers(address, count)) return kIllegalDataAddress;
  uint32_t end = address + static_cast<uint32_t>(count);
  Piece p{};
  for (uint32_t at = address; at < end; at += static_cast<uint32_t>(p.count)) {
    if (!NextPiece(at, end, &p)) return kIllegalDataAddress;
    uint8_t e = call(p, values);
    if (e != kExceptionNone) return e;
    values += p.count;
  }
  return kExceptionNone;
}

uint8_t RegisterMap::Read(uint16_t address, size_t count, uint16_t* values) const {
  return Walk(address, count, values,
              [](const Piece& p, uint16_t* v) { return p.block->Read(p.address, p.count, v); });
}

uint8_t RegisterMap::Write(uint16_t address, size_t count, const uint16_t* values) const {
  return Walk(address, count, values, [](const Piece& p, const uint16_t* v) {
    return p.block->Write(p.address, p.count, v);
  });
}

void RegisterMap::PowerOn() const {
  // A block mapped over several ranges powers on once.
  std::set<RegisterBlock*> done;
  for (const auto& entry : spans_) {
    if (done.insert(entry.second.block.get()).second) entry.second.block->PowerOn();
  }
}

}  // namespace qxsim
