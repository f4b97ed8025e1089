// The 23 digital lines: a search for shorts with nothing attached, and the
// test jig's wiring of the E, C and M groups read back through eight fixed
// patterns.
#pragma once

#include <cstddef>
#include <cstdint>

#include "harness/context.h"

constexpr uint32_t kDioLineCount = 23;
constexpr uint32_t kAllLinesHigh = 0x7FFFFF;

// The level registers read as one 8-byte block (two bytes per group, high
// byte first); bits beyond a group's lines are dropped. Every line, bit i =
// DIO# i:
uint32_t PackDioLines(const uint8_t block[8]);
// The jig's groups: E in bits 0-7, C in 8-11, M in 16-18.
uint32_t PackJigLines(const uint8_t block[8]);

// One step of the jig test: the levels and directions of E, C and M, the
// reading they must give, and the label of a mismatch.
struct JigPattern {
  uint16_t level[3];
  uint16_t direction[3];
  uint32_t expected;
  const char* label;
};
constexpr size_t kJigPatternCount = 8;
extern const JigPattern kJigPatterns[kJigPatternCount];
void AppendDioLimits(std::string* text);

// Msg of a failed step of the short search: line is the step's line, reading
// what the lines read with it driven low.
void DescribeShort(uint32_t line, uint32_t reading, char* msg, size_t cap);

uint32_t DioShortTest(TestContext* context);
uint32_t DioJigTest(TestContext* context);
