// The stream of four-channel scans, judged on the two channels that the jig
// loops back from the analog outputs, and the Ethernet test that moves the
// run onto the device's TCP connection and streams over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "harness/context.h"

// One read of the stream data: a count, a word not examined, and room for
// kStreamBlockRoom float values, all big-endian.
constexpr uint32_t kStreamBlockRegisters = 204;
constexpr size_t kStreamBlockBytes = 2 * kStreamBlockRegisters;
constexpr uint32_t kStreamBlockRoom = 100;
constexpr uint32_t kStreamScanValues = 4;
constexpr uint32_t kEthernetStreamSeconds = 5;

// StreamTest's results besides a device-link code.
enum StreamStatus : int {
  kStreamPassed = 0,
  kStreamBadChannel0 = 1,
  kStreamBadChannel1 = 2,
  kStreamOversizeBlock = 3,  // a block claimed more values than it has room for
};

struct StreamBlock {
  uint32_t count = 0;  // values the block claims
  float values[kStreamBlockRoom] = {};
};

// Decodes the kStreamBlockBytes bytes of one read. A count above the room is
// kept as claimed, and no value beyond the room is read.
void DecodeStreamBlock(const uint8_t* bytes, StreamBlock* block);
// Judges the whole scans of a block (value k is channel k mod 4 of scan
// k div 4): kStreamPassed, kStreamBadChannel0/1 at the first bad scan, or
// kStreamOversizeBlock before any value when the count exceeds the room.
int JudgeStreamBlock(const StreamBlock& block);
// The failure text of a judgement other than kStreamPassed.
const char* StreamFailureText(int status);

// The step at which StreamTest ended.
enum class StreamStep { kDacCodes, kSettings, kStart, kRead, kStop, kDone };
const char* StreamStepName(StreamStep step);

constexpr float kStreamNoValue = std::numeric_limits<float>::quiet_NaN();

// The windows of channels 0 and 1 in every scan, in volts.
extern const double kStreamWindows[2][2];

struct StreamResult {
  StreamStep step = StreamStep::kDacCodes;
  // The pass text, or the failure text of a judgement; empty after a link
  // error, except one while stopping the stream after its full time (the
  // pass text stays).
  char text[kTextCapacity] = {};
  uint32_t total = 0;  // values read so far
  // Each judged channel's lowest and highest value over the scans read,
  // NaN before the first scan.
  float lowest[2] = {kStreamNoValue, kStreamNoValue};
  float highest[2] = {kStreamNoValue, kStreamNoValue};
};

// Sets the outputs, configures and starts the stream, reads and judges it for
// seconds, and stops it after a pass. Returns a StreamStatus or the non-zero
// code of the device-link call that failed (step says which). The stream is
// left running after a failure while it runs, except when a stop request
// ended the reading (kLinkStopped): then it is stopped.
int StreamTest(int handle, uint32_t seconds, StreamResult* result);

// Moves the run from USB onto the device's TCP connection, once the device
// answering there shows the serial number and MAC read over USB, and streams
// over it. A failure after the USB link closed leaves its step in the
// context's record note.
uint32_t EthernetTest(TestContext* context);
void AppendStreamLimits(std::string* text);
