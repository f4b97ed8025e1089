// What a run's requests did to the device's flash, read from the requests
// themselves (as LinkRecorder or a proxy keeps them): which page each one
// erases, writes or reads, the stretches that update a page, the page after
// each of them, and where in a run to cut it.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "tests/support/link_recorder.h"

// Where one request goes: the flash page it erases, writes or points a read
// at, if any.
struct FlashTouch {
  bool erase = false;
  bool write = false;
  bool readPointer = false;
  uint32_t page = 0;
};
FlashTouch TouchOf(const Bytes& request);

// The page updates in a run's requests: each a stretch of consecutive
// requests on the page (its read, erase and writes) with an erase or a
// write in it.
std::vector<std::vector<int>> PageUpdates(const std::vector<Bytes>& requests, uint32_t page);

// The page after each of its updates, replayed from the requests onto the
// page as it was: an erase fills it with 0xFF, a write clears bits.
std::vector<Bytes> PageStates(const Bytes& before, const std::vector<Bytes>& requests,
                              uint32_t page);

// True when the page's last update (if any) wrote the whole page after its
// last erase: the page is as that update intended, not erased or half
// written.
bool LastPageUpdateFinished(const std::vector<Bytes>& requests, uint32_t page);

// A point of a run: offset requests after (0: at) the occurrence-th request
// (counted from 0) that match accepts.
struct CutPoint {
  std::function<bool(const Bytes&)> match;
  int occurrence = 0;
  int offset = 0;
};
// Requests that erase page, that write a piece of page, or that write
// register (any value).
std::function<bool(const Bytes&)> ErasesPage(uint32_t page);
std::function<bool(const Bytes&)> WritesPage(uint32_t page);
std::function<bool(const Bytes&)> WritesRegister(uint16_t address);
// Requests that write value (a float) to register.
std::function<bool(const Bytes&)> WritesFloat(uint16_t address, float value);

// Follows a run's requests one by one; Due is true once, at the point.
class CutWatch {
 public:
  explicit CutWatch(CutPoint point) : point_(std::move(point)) {}
  bool Due(const Bytes& request);
  bool reached() const { return done_; }

 private:
  CutPoint point_;
  int matched_ = 0;
  int after_ = -1;  // requests since the match, once it came
  bool done_ = false;
};
