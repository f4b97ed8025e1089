#include "production/counter_test.h"

#include "base/text.h"
#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/register_addresses.h"
#include "harness/measure.h"
#include "harness/messages.h"
#include "platform/byte_order.h"
#include "platform/clock.h"

namespace {

// A block of register values, sent as bytes, high byte first.
template <size_t N>
FeedbackFrame WriteBlock(int address, const uint16_t (&values)[N]) {
  uint8_t bytes[2 * N];
  for (size_t i = 0; i < N; ++i) PutU16BE(bytes, 2 * i, values[i]);
  return FeedbackFrame(FrameDirection::Write, static_cast<uint32_t>(address),
                       static_cast<uint32_t>(N), FrameDataType::Bytes, bytes);
}

struct CounterPhase {
  int setup;
  int counters[3];  // counter numbers, in exchange order
  uint16_t sourceMode;
  const char* failures[3];
};

const CounterPhase kPhases[2] = {
    {kRegCounterSetupPhase1,
     {0, 2, 3},
     0x00C2,
     {"Counter 0 fail", "Counter 2 fail", "Counter 3 fail"}},
    {kRegCounterSetupPhase2,
     {1, 2, 3},
     0x00C1,
     {"Counter 1 fail", "Counter 2 fail", "Counter 3 fail"}},
};

const uint16_t kSetupBlock[2] = {0x8102, 0x0063};
const uint16_t kCounterBlock[2] = {0x00C0, 0x0007};

}  // namespace

uint32_t CounterTest(TestContext* context) {
  context->EL = kLevelPassed;
  const int h = context->handle;
  int p = 0;
  for (const CounterPhase& phase : kPhases) {
    ++p;
    FeedbackFrame reset[1] = {
        FeedbackFrame(FrameDirection::Write, kRegCounterReset, 1, FrameDataType::U16, 0)};
    int32_t code = FeedbackExchange(h, 1, reset);
    FeedbackFrame setup[1] = {WriteBlock(phase.setup, kSetupBlock)};
    if (code == 0) code = FeedbackExchange(h, 1, setup);
    if (code != 0) return FailComm(context, code);
    int set = 0;
    for (const auto& counts : kCounterSets) {
      ++set;
      FeedbackFrame counters[3];
      FeedbackFrame sources[3];
      FeedbackFrame reads[3];
      for (int k = 0; k < 3; ++k) {
        int c = phase.counters[k];
        counters[k] = WriteBlock(kRegCounterConfig + 10 * c, kCounterBlock);
        const uint16_t source[5] = {phase.sourceMode, 0x0002, 0x0019, 0x004B,
                                    static_cast<uint16_t>(counts[k])};
        sources[k] = WriteBlock(kRegCounterSource + 10 * c, source);
        reads[k].Set(FrameDirection::Read, static_cast<uint32_t>(kRegCounterValue + 10 * c), 2,
                     FrameDataType::U32);
      }
      code = FeedbackExchange(h, 3, counters);
      if (code == 0) code = FeedbackExchange(h, 3, sources);
      if (code != 0) return FailComm(context, code);
      platform::SleepMs(kCounterSettleMs);
      code = FeedbackExchange(h, 3, reads);
      if (code != 0) return FailComm(context, code);
      for (int k = 0; k < 3; ++k) {
        char name[kPieceCapacity];
        TextFormat(name, sizeof name, "Counter %d phase %d set %d", phase.counters[k], p, set);
        const double expected = counts[k];
        Measure(context, name, reads[k].U32(0), "counts", expected, expected);
      }
      for (int k = 0; k < 3; ++k) {
        // Every position is compared; a later failure replaces an earlier one.
        if (reads[k].U32(0) != counts[k]) Finish(context, kLevelFatal, phase.failures[k]);
      }
    }
  }
  if (context->EL == kLevelPassed) TextCopy(context->Msg, "All counter tests passed");
  return 0;
}

void AppendCounterLimits(std::string* text) {
  for (const auto& counts : kCounterSets) {
    for (uint32_t count : counts) AppendLimit(text, "counter.Set", count);
  }
}
