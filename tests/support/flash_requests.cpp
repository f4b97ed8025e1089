#include "tests/support/flash_requests.h"

#include "device/flash_map.h"
#include "device/register_addresses.h"
#include "platform/byte_order.h"

FlashTouch TouchOf(const Bytes& request) {
  FlashTouch t;
  ForEachRecord(request, [&](bool write, uint16_t address, size_t count, size_t offset) {
    if (!write || count < 2) return;
    const uint32_t value = GetU32BE(request.data(), request.size(), offset);
    if (address == kRegFlashErase) t.erase = true;
    if (address == kRegFlashWriteWindow) t.write = true;
    if (address == kRegFlashReadPointer) t.readPointer = true;
    if (address == kRegFlashErase || address == kRegFlashWriteWindow ||
        address == kRegFlashReadPointer) {
      t.page = value & kFlashPageMask;
    }
  });
  return t;
}

std::vector<std::vector<int>> PageUpdates(const std::vector<Bytes>& requests, uint32_t page) {
  std::vector<std::vector<int>> updates;
  std::vector<int> stretch;
  bool writes = false;
  for (size_t i = 0; i <= requests.size(); ++i) {
    const FlashTouch t = i < requests.size() ? TouchOf(requests[i]) : FlashTouch();
    if (t.page == page) {
      stretch.push_back(static_cast<int>(i));
      writes |= t.erase || t.write;
      continue;
    }
    if (writes) updates.push_back(stretch);
    stretch.clear();
    writes = false;
  }
  return updates;
}

std::vector<Bytes> PageStates(const Bytes& before, const std::vector<Bytes>& requests,
                              uint32_t page) {
  std::vector<Bytes> states = {before};
  Bytes now = before;
  for (const std::vector<int>& update : PageUpdates(requests, page)) {
    for (int i : update) {
      const Bytes& r = requests[i];
      ForEachRecord(r, [&](bool write, uint16_t address, size_t count, size_t offset) {
        if (!write || count < 2) return;
        const uint32_t value = GetU32BE(r.data(), r.size(), offset);
        if (address == kRegFlashErase && value == page) now.assign(kFlashPageSize, 0xFF);
        if (address != kRegFlashWriteWindow || (value & kFlashPageMask) != page) return;
        for (size_t k = 0; k < 2 * (count - 2) && offset + 4 + k < r.size(); ++k) {
          const size_t at = (value & kFlashOffsetMask) + k;
          if (at < now.size()) now[at] &= r[offset + 4 + k];
        }
      });
    }
    states.push_back(now);
  }
  return states;
}

bool LastPageUpdateFinished(const std::vector<Bytes>& requests, uint32_t page) {
  const std::vector<std::vector<int>> updates = PageUpdates(requests, page);
  if (updates.empty()) return true;
  std::vector<bool> written(kFlashPageSize / kFlashChunkSize, false);
  for (int i : updates.back()) {
    const Bytes& r = requests[i];
    ForEachRecord(r, [&](bool write, uint16_t address, size_t count, size_t offset) {
      if (!write || count < 2) return;
      const uint32_t value = GetU32BE(r.data(), r.size(), offset);
      if (address == kRegFlashErase && value == page) written.assign(written.size(), false);
      if (address == kRegFlashWriteWindow && (value & kFlashPageMask) == page) {
        written[(value & kFlashOffsetMask) / kFlashChunkSize] = true;
      }
    });
  }
  for (bool w : written) {
    if (!w) return false;
  }
  return true;
}

std::function<bool(const Bytes&)> ErasesPage(uint32_t page) {
  return [page](const Bytes& r) {
    const FlashTouch t = TouchOf(r);
    return t.erase && t.page == page;
  };
}

std::function<bool(const Bytes&)> WritesPage(uint32_t page) {
  return [page](const Bytes& r) {
    const FlashTouch t = TouchOf(r);
    return t.write && t.page == page;
  };
}

std::function<bool(const Bytes&)> WritesRegister(uint16_t wanted) {
  return [wanted](const Bytes& r) {
    bool found = false;
    ForEachRecord(r, [&](bool write, uint16_t address, size_t, size_t) {
      found |= write && address == wanted;
    });
    return found;
  };
}

bool CutWatch::Due(const Bytes& request) {
  if (done_) return false;
  if (after_ < 0) {
    if (!point_.match(request) || matched_++ != point_.occurrence) return false;
    after_ = 0;
  } else {
    ++after_;
  }
  if (after_ < point_.offset) return false;
  done_ = true;
  return true;
}

std::function<bool(const Bytes&)> WritesFloat(uint16_t wanted, float value) {
  return [wanted, value](const Bytes& r) {
    bool found = false;
    ForEachRecord(r, [&](bool write, uint16_t address, size_t, size_t offset) {
      found |= write && address == wanted && GetF32BE(r.data(), r.size(), offset) == value;
    });
    return found;
  };
}
