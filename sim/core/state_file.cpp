#include "sim/core/state_file.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/byte_order.h"
#include "platform/file.h"
#include "platform/status.h"

namespace qxsim {

namespace {

constexpr char kMagic[8] = {'Q', 'X', 'S', 'I', 'M', 'S', 'T', '1'};
// Far above any real state; guards the allocation against a damaged header.
constexpr size_t kMaxFileBytes = 64u << 20;

void PutU32(std::vector<uint8_t>* out, uint32_t v) {
  out->resize(out->size() + 4);
  PutU32BE(out->data(), out->size(), out->size() - 4, v);
}

std::string Describe(const std::string& what, const std::string& path, int osError) {
  return what + " " + path + ": " + std::strerror(osError);
}

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t length) {
  // A table: the file is rewritten after every flash change.
  static const auto table = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
      uint32_t c = n;
      for (int b = 0; b < 8; ++b) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
      t[n] = c;
    }
    return t;
  }();
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
  return ~crc;
}

bool WriteStateFile(const std::string& path, const std::vector<StateSection>& sections,
                    std::string* error, bool sync) {
  std::vector<uint8_t> bytes(kMagic, kMagic + sizeof kMagic);
  PutU32(&bytes, static_cast<uint32_t>(sections.size()));
  for (const StateSection& s : sections) {
    if (s.tag.size() != 4) {
      *error = "state section tag '" + s.tag + "' is not four characters";
      return false;
    }
    bytes.insert(bytes.end(), s.tag.begin(), s.tag.end());
    PutU32(&bytes, static_cast<uint32_t>(s.bytes.size()));
    bytes.insert(bytes.end(), s.bytes.begin(), s.bytes.end());
  }
  PutU32(&bytes, Crc32(bytes.data(), bytes.size()));

  int osError = 0;
  if (platform::WriteFileAtomically(path.c_str(), bytes.data(), bytes.size(), &osError, sync) !=
      platform::kOk) {
    *error = Describe("cannot write", path, osError);
    return false;
  }
  return true;
}

namespace {

// Reads a whole file of at most kMaxFileBytes; kMissing when there is none.
StateFileRead ReadWholeFile(const std::string& path, const char* what, std::vector<uint8_t>* bytes,
                            std::string* error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    if (errno == ENOENT) return StateFileRead::kMissing;
    *error = Describe("cannot open", path, errno);
    return StateFileRead::kBad;
  }
  uint8_t chunk[65536];
  bool ok = true;
  for (;;) {
    size_t n = std::fread(chunk, 1, sizeof chunk, f);
    bytes->insert(bytes->end(), chunk, chunk + n);
    if (bytes->size() > kMaxFileBytes) {
      *error = std::string(what) + " " + path + " is too large";
      ok = false;
      break;
    }
    if (n < sizeof chunk) {
      if (std::ferror(f)) {
        *error = Describe("cannot read", path, errno);
        ok = false;
      }
      break;
    }
  }
  std::fclose(f);
  return ok ? StateFileRead::kLoaded : StateFileRead::kBad;
}

}  // namespace

StateFileRead ReadStateFile(const std::string& path, std::vector<StateSection>* sections,
                            std::string* error) {
  std::vector<uint8_t> bytes;
  StateFileRead read = ReadWholeFile(path, "state file", &bytes, error);
  if (read != StateFileRead::kLoaded) return read;
  if (!ParseStateFile(bytes.data(), bytes.size(), sections, error)) {
    *error = "state file " + path + " " + *error;
    return StateFileRead::kBad;
  }
  return StateFileRead::kLoaded;
}

void AppendJournalRecord(const FlashPatch& patch, std::vector<uint8_t>* out) {
  size_t start = out->size();
  PutU32(out, patch.address);
  PutU32(out, static_cast<uint32_t>(patch.bytes.size()));
  out->insert(out->end(), patch.bytes.begin(), patch.bytes.end());
  PutU32(out, Crc32(out->data() + start, out->size() - start));
}

std::vector<FlashPatch> ParseJournal(const uint8_t* data, size_t length) {
  std::vector<FlashPatch> out;
  size_t at = 0;
  while (data != nullptr && length - at >= 12) {
    uint32_t bytes = GetU32BE(data, length, at + 4);
    if (length - at - 12 < bytes) break;
    if (Crc32(data + at, 8 + size_t{bytes}) != GetU32BE(data, length, at + 8 + bytes)) break;
    FlashPatch patch;
    patch.address = GetU32BE(data, length, at);
    patch.bytes.assign(data + at + 8, data + at + 8 + bytes);
    out.push_back(std::move(patch));
    at += 12 + size_t{bytes};
  }
  return out;
}

bool ReadJournal(const std::string& path, std::vector<FlashPatch>* patches, std::string* error) {
  std::vector<uint8_t> bytes;
  StateFileRead read = ReadWholeFile(path, "journal", &bytes, error);
  if (read == StateFileRead::kBad) return false;
  *patches = ParseJournal(bytes.data(), bytes.size());
  return true;
}

bool ParseStateFile(const uint8_t* data, size_t length, std::vector<StateSection>* sections,
                    std::string* error) {
  const char* const bad = "is damaged or not a qxsim state file";
  *error = bad;
  if (data == nullptr || length < sizeof kMagic + 8 ||
      std::memcmp(data, kMagic, sizeof kMagic) != 0 ||
      Crc32(data, length - 4) != GetU32BE(data, length, length - 4)) {
    return false;
  }
  size_t end = length - 4;
  size_t at = sizeof kMagic;
  uint32_t count = GetU32BE(data, length, at);
  at += 4;
  std::vector<StateSection> out;
  for (uint32_t i = 0; i < count; ++i) {
    if (end - at < 8) return false;
    StateSection s;
    s.tag.assign(reinterpret_cast<const char*>(data + at), 4);
    uint32_t sectionLength = GetU32BE(data, length, at + 4);
    at += 8;
    if (end - at < sectionLength) return false;
    s.bytes.assign(data + at, data + at + sectionLength);
    at += sectionLength;
    out.push_back(std::move(s));
  }
  if (at != end) return false;
  error->clear();
  *sections = std::move(out);
  return true;
}

}  // namespace qxsim
