#include "sim/features/counters.h"

#include <cstring>
#include <memory>

#include "platform/byte_order.h"
#include "sim/core/protocol.h"

namespace qxsim {

namespace {

constexpr size_t kStride = 10;
constexpr size_t kSourceCountIndex = 4;

// A bank of kSimCounters blocks of kStride registers from first.
std::shared_ptr<FunctionRegisters> Bank(uint16_t first, uint16_t (*bank)[kStride],
                                        std::function<void(size_t counter)> written) {
  return std::make_shared<FunctionRegisters>(
      [first, bank](uint16_t address, size_t count, uint16_t* values) {
        for (size_t i = 0; i < count; ++i) {
          size_t offset = address - first + i;
          values[i] = bank[offset / kStride][offset % kStride];
        }
        return static_cast<uint8_t>(kExceptionNone);
      },
      [first, bank, written](uint16_t address, size_t count, const uint16_t* values) {
        for (size_t i = 0; i < count; ++i) {
          size_t offset = address - first + i;
          bank[offset / kStride][offset % kStride] = values[i];
        }
        written((address - first) / kStride);
        return static_cast<uint8_t>(kExceptionNone);
      });
}

}  // namespace

void Counters::PowerOn() {
  std::memset(sources_, 0, sizeof sources_);
  std::memset(enables_, 0, sizeof enables_);
  std::memset(setup_, 0, sizeof setup_);
  for (size_t k = 0; k < kSimCounters; ++k) counting_[k] = false;
}

uint32_t Counters::Value(size_t counter) const {
  if (counter >= kSimCounters || !counting_[counter] || enables_[counter][0] == 0) return 0;
  uint32_t full = sources_[counter][kSourceCountIndex];
  uint64_t elapsed = clock_.NowMs() - sourceWrittenMs_[counter];
  uint32_t value = elapsed >= kSimCounterSettleMs
                       ? full
                       : static_cast<uint32_t>(uint64_t{full} * elapsed / kSimCounterSettleMs);
  return (wrong_ >> counter & 1u) != 0 ? value + 1 : value;
}

void Counters::Install(RegisterMap& map) {
  map.Map(kSimCounterSourceRegister, kSimCounters * kStride,
          Bank(kSimCounterSourceRegister, sources_, [this](size_t k) {
            counting_[k] = true;
            sourceWrittenMs_[k] = clock_.NowMs();
          }));
  map.Map(kSimCounterEnableRegister, kSimCounters * kStride,
          Bank(kSimCounterEnableRegister, enables_, [](size_t) {}));
  map.Map(kSimCounterSetupRegister, 4,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t address, size_t count, uint16_t* values) {
                std::memcpy(values, setup_ + (address - kSimCounterSetupRegister),
                            count * sizeof *values);
                return static_cast<uint8_t>(kExceptionNone);
              },
              [this](uint16_t address, size_t count, const uint16_t* values) {
                std::memcpy(setup_ + (address - kSimCounterSetupRegister), values,
                            count * sizeof *values);
                return static_cast<uint8_t>(kExceptionNone);
              }));
  map.Map(kSimCounterValueRegister, (kSimCounters - 1) * kStride + 2,
          std::make_shared<FunctionRegisters>(
              [this](uint16_t address, size_t count, uint16_t* values) {
                for (size_t i = 0; i < count; ++i) {
                  size_t offset = address - kSimCounterValueRegister + i;
                  uint16_t regs[2] = {};
                  if (offset % kStride < 2) PutU32(Value(offset / kStride), regs);
                  values[i] = regs[offset % kStride % 2];
                }
                return static_cast<uint8_t>(kExceptionNone);
              },
              nullptr));
  map.Map(kSimCounterResetRegister, 1,
          std::make_shared<FunctionRegisters>(
              [](uint16_t, size_t, uint16_t* values) {
                values[0] = 0;
                return static_cast<uint8_t>(kExceptionNone);
              },
              [this](uint16_t, size_t, const uint16_t*) {
                for (size_t k = 0; k < kSimCounters; ++k) counting_[k] = false;
                return static_cast<uint8_t>(kExceptionNone);
              }));
}

}  // namespace qxsim
