#include "sim/state_file.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

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

std::string Describe(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
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

  std::string temp = path + ".tmp." + std::to_string(::getpid());
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = Describe("cannot create", temp);
    return false;
  }
  bool ok = WriteAll(fd, bytes.data(), bytes.size());
  if (!ok) *error = Describe("cannot write", temp);
  if (ok && ::fsync(fd) != 0) {
    *error = Describe("cannot sync", temp);
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    *error = Describe("cannot close", temp);
    ok = false;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    *error = Describe("cannot rename over", path);
    ok = false;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself must reach the disk too.
  std::string dir = DirectoryOf(path);
  int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

StateFileRead ReadStateFile(const std::string& path, std::vector<StateSection>* sections,
                            std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return StateFileRead::kMissing;
    *error = Describe("cannot open", path);
    return StateFileRead::kBad;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = Describe("cannot read", path);
      ok = false;
      break;
    }
    if (n == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + n);
    if (bytes.size() > kMaxFileBytes) {
      *error = "state file " + path + " is too large";
      ok = false;
      break;
    }
  }
  ::close(fd);
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
