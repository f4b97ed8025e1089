#include "production/dio_tests.h"

#include "base/text.h"
#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/register_addresses.h"
#include "harness/measure.h"
#include "harness/messages.h"

namespace {

constexpr uint32_t kGroups = 4;
// The lines of the two short groups in their level registers' low bytes;
// the first group and E fill theirs.
constexpr uint8_t kCGroupLines = 0x0F;
constexpr uint8_t kMGroupLines = 0x07;

FeedbackFrame ReadLevels() {
  return FeedbackFrame(FrameDirection::Read, kRegDioGroupLevel, kGroups, FrameDataType::Bytes);
}

FeedbackFrame AllInputs() {
  static const uint8_t kZeros[2 * kGroups] = {};
  return FeedbackFrame(FrameDirection::Write, kRegDioGroupDirection, kGroups, FrameDataType::Bytes,
                       kZeros);
}

FeedbackFrame WriteRegister(int address, uint16_t value) {
  return FeedbackFrame(FrameDirection::Write, static_cast<uint32_t>(address), 1, FrameDataType::U16,
                       value);
}

// The three groups' values of a jig step as one number, E in the low byte.
uint32_t PackedGroups(const uint16_t (&groups)[3]) {
  return groups[0] | (static_cast<uint32_t>(groups[1]) << 8) |
         (static_cast<uint32_t>(groups[2]) << 16);
}

}  // namespace

// Each group's byte holds only its own lines: the C byte's unused high bits
// would otherwise land on the M lines of the 23-line reading and could hide
// a stuck one.
uint32_t PackDioLines(const uint8_t block[8]) {
  return block[1] + (static_cast<uint32_t>(block[3]) << 8) +
         (static_cast<uint32_t>(block[5] & kCGroupLines) << 16) +
         (static_cast<uint32_t>(block[7] & kMGroupLines) << 20);
}

uint32_t PackJigLines(const uint8_t block[8]) {
  return block[3] + (static_cast<uint32_t>(block[5] & kCGroupLines) << 8) +
         (static_cast<uint32_t>(block[7] & kMGroupLines) << 16);
}

const JigPattern kJigPatterns[kJigPatternCount] = {
    {{0, 0, 0}, {0, 0, 0}, 0x70F7F, "All input: "},
    {{0, 0, 0}, {0x15, 0x05, 0x01}, 0x00040, "E/C/M 0,2,4 output low: "},
    {{0x15, 0x05, 0x01}, {0x15, 0x05, 0x01}, 0x70F7F, "E/C/M 0,2,4 output high: "},
    {{0, 0, 0}, {0x2A, 0x0A, 0x02}, 0x00040, "E/C/M 1,3,5 output low: "},
    {{0x2A, 0x0A, 0x02}, {0x2A, 0x0A, 0x02}, 0x70F7F, "E/C/M 1,3,5 output high: "},
    {{0, 0, 0}, {0, 0, 0x04}, 0x00F7F, "MIO 2, output low: "},
    {{0, 0, 0x04}, {0, 0, 0x04}, 0x70F7F, "MIO 2, output high: "},
    {{0, 0, 0}, {0, 0, 0}, 0x70F7F, "All input: "},
};

void DescribeShort(uint32_t line, uint32_t reading, char* msg, size_t cap) {
  uint32_t expected = kAllLinesHigh & ~(1u << line);
  uint32_t x = expected & ~reading;  // lines that should read high but read low
  char piece[kPieceCapacity];
  TextCopy(msg, cap, "Possible short DIO#: ");
  TextFormat(piece, sizeof piece, "%u, ", line);
  TextAppend(msg, cap, piece);
  if (x == 0) {
    // The line itself stayed high, or bits beyond the lines are set: no
    // partner to name, so show what was read.
    TextFormat(piece, sizeof piece, "no partner: read 0x%06X", reading);
  } else {
    uint32_t highest = 0;
    while (x >>= 1) ++highest;
    TextFormat(piece, sizeof piece, "%u", highest);
  }
  TextAppend(msg, cap, piece);
}

uint32_t DioShortTest(TestContext* context) {
  context->EL = kLevelPassed;
  FeedbackFrame clear[1] = {AllInputs()};
  int32_t code = FeedbackExchange(context->handle, 1, clear);
  FeedbackFrame read[1] = {ReadLevels()};
  if (code == 0) code = FeedbackExchange(context->handle, 1, read);
  if (code != 0) return FailComm(context, code);
  uint32_t reading = PackDioLines(read[0].Bytes());
  Measure(context, "DIO all high read", reading, "", kAllLinesHigh, kAllLinesHigh);
  if (reading != kAllLinesHigh) {
    char piece[kPieceCapacity];
    TextFormat(piece, sizeof piece, "0x%06X expected 0x7FFFFF", reading);
    TextCopy(context->Msg, "All high: ");
    TextAppend(context->Msg, piece);
    context->EL = kLevelFatal;
    return 0;
  }
  for (uint32_t line = 0; line < kDioLineCount; ++line) {
    FeedbackFrame drive[2] = {AllInputs(), WriteRegister(kRegDioLine + static_cast<int>(line), 0)};
    code = FeedbackExchange(context->handle, 2, drive);
    FeedbackFrame again[1] = {ReadLevels()};
    if (code == 0) code = FeedbackExchange(context->handle, 1, again);
    if (code != 0) return FailComm(context, code);
    reading = PackDioLines(again[0].Bytes());
    const uint32_t expected = kAllLinesHigh & ~(1u << line);
    char name[kPieceCapacity];
    TextFormat(name, sizeof name, "DIO line %u low read", line);
    Measure(context, name, reading, "", expected, expected);
    if (reading != expected) {
      DescribeShort(line, reading, context->Msg, sizeof context->Msg);
      context->EL = kLevelError;
      return 0;
    }
  }
  return Finish(context, kLevelPassed, "All tests passed");
}

uint32_t DioJigTest(TestContext* context) {
  context->EL = kLevelPassed;
  for (const JigPattern& step : kJigPatterns) {
    FeedbackFrame frames[7];
    for (int g = 0; g < 3; ++g) {
      frames[g] = WriteRegister(kRegDioGroupLevel + 1 + g, step.level[g]);
      frames[3 + g] = WriteRegister(kRegDioGroupDirection + 1 + g, step.direction[g]);
    }
    frames[6] = ReadLevels();
    int32_t code = FeedbackExchange(context->handle, 7, frames);
    if (code != 0) return FailComm(context, code);
    uint32_t reading = PackJigLines(frames[6].Bytes());
    const int n = static_cast<int>(&step - kJigPatterns) + 1;
    char name[kPieceCapacity];
    TextFormat(name, sizeof name, "DIO jig %d level written", n);
    Report(context, name, PackedGroups(step.level), "");
    TextFormat(name, sizeof name, "DIO jig %d direction written", n);
    Report(context, name, PackedGroups(step.direction), "");
    TextFormat(name, sizeof name, "DIO jig %d read", n);
    Measure(context, name, reading, "", step.expected, step.expected);
    if (reading != step.expected) {
      char piece[kPieceCapacity];
      TextFormat(piece, sizeof piece, "0x%08X", reading);
      TextCopy(context->Msg, step.label);
      TextAppend(context->Msg, piece);
      context->EL = kLevelFatal;
      return 0;
    }
  }
  return Finish(context, kLevelPassed, "8 tests passed");
}

void AppendDioLimits(std::string* text) {
  AppendLimit(text, "dio.AllLinesHigh", kAllLinesHigh);
  for (const JigPattern& step : kJigPatterns) AppendLimit(text, "dio.JigExpected", step.expected);
}
