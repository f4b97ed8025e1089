#include "sim/core/state_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/file.h"
#include "platform/status.h"

namespace qxsim {

namespace {

constexpr char kMagic[8] = {'Q', 'X', 'S', 'I', 'M', 'S', 'T', '1'};
// Far above any real state; guards the allocation against a damaged header.
constexpr size_t kMaxFileBytes = 64u << 20;

void PutU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (24 - 8 * i)));
}

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

std::string Describe(const std::string& what, const std::string& path, int osError) {
  return what + " " + path + ": " + std::strerror(osError);
}

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

bool WriteStateFile(const std::string& path, const std::vector<StateSection>& sections,
                    std::string* error) {
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
  if (platform::WriteFileAtomically(path.c_str(), bytes.data(), bytes.size(), &osError) !=
      platform::kOk) {
    *error = Describe("cannot write", path, osError);
    return false;
  }
  return true;
}

StateFileRead ReadStateFile(const std::string& path, std::vector<StateSection>* sections,
                            std::string* error) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    if (errno == ENOENT) return StateFileRead::kMissing;
    *error = Describe("cannot open", path, errno);
    return StateFileRead::kBad;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  bool ok = true;
  for (;;) {
    size_t n = std::fread(chunk, 1, sizeof chunk, f);
    bytes.insert(bytes.end(), chunk, chunk + n);
    if (bytes.size() > kMaxFileBytes) {
      *error = "state file " + path + " is too large";
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
  if (!ok) return StateFileRead::kBad;

  const std::string bad = "state file " + path + " is damaged or not a qxsim state file";
  if (bytes.size() < sizeof kMagic + 8 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0 ||
      Crc32(bytes.data(), bytes.size() - 4) != GetU32(bytes.data() + bytes.size() - 4)) {
    *error = bad;
    return StateFileRead::kBad;
  }
  size_t end = bytes.size() - 4;
  size_t at = sizeof kMagic;
  uint32_t count = GetU32(bytes.data() + at);
  at += 4;
  std::vector<StateSection> out;
  for (uint32_t i = 0; i < count; ++i) {
    if (end - at < 8) {
      *error = bad;
      return StateFileRead::kBad;
    }
    StateSection s;
    s.tag.assign(reinterpret_cast<const char*>(bytes.data() + at), 4);
    uint32_t length = GetU32(bytes.data() + at + 4);
    at += 8;
    if (end - at < length) {
      *error = bad;
      return StateFileRead::kBad;
    }
    s.bytes.assign(bytes.begin() + at, bytes.begin() + at + length);
    at += length;
    out.push_back(std::move(s));
  }
  if (at != end) {
    *error = bad;
    return StateFileRead::kBad;
  }
  *sections = std::move(out);
  return StateFileRead::kLoaded;
}

}  // namespace qxsim
