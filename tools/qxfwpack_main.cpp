// qxfwpack: builds a firmware upgrade file from a body file or generated
// content. Options can also make bad files on purpose (another device, a
// lying image count or length, a chain pointing anywhere, a cut-off file), so
// that users and tests can try the upgrade's refusals.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "upgrade/firmware_pack.h"

namespace {

// Enough for a file over the reader's limit, not enough to exhaust memory.
constexpr uint64_t kMaxGenerateBytes = 64u * 1024u * 1024u;

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "usage: qxfwpack -o FILE (--body FILE | --generate BYTES) [options]\n"
               "\n"
               "Writes a firmware upgrade file: image 0 from the body given, and with\n"
               "--chain N, N further generated images chained after it.\n"
               "\n"
               "  -o, --output FILE       the file to write\n"
               "  --body FILE             image 0's body, taken from FILE\n"
               "  --generate BYTES        image 0's body, BYTES of generated content\n"
               "  --seed N                seed of the generated content (default 1)\n"
               "  --device CODE           intended device code (default 100017001)\n"
               "  --fw-version V          firmware version, a float (default 1.1)\n"
               "  --fw-version-raw HEX    the firmware version field's 4 bytes, e.g. 7F000117\n"
               "  --version2 V            second version number (default 0.9)\n"
               "  --version2-raw HEX      the second version field's 4 bytes\n"
               "  --extra-u16 N           the 16-bit value at header offset 16\n"
               "  --extra-u32 N           the 32-bit value at header offset 28\n"
               "  --chain N               N more images of --chain-bytes each (default 4096)\n"
               "  --chain-bytes BYTES     body length of the chained images\n"
               "  --image-count N         image count field (default: number of images)\n"
               "  --image-bytes N         image 0's length field (default: its body length)\n"
               "  --next OFFSET           image 0's next-header offset\n"
               "  --magic TEXT            the 4-character magic (default QXFX)\n"
               "  --truncate BYTES        cut the file to BYTES\n"
               "  --help                  this text\n");
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "qxfwpack: %s\n(qxfwpack --help lists the options)\n", message.c_str());
  return 2;
}

// Whole unsigned number in decimal, or hexadecimal with 0x.
bool ParseNumber(const char* text, uint64_t limit, uint64_t* value) {
  if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (errno != 0 || *end != '\0' || v > limit) return false;
  *value = v;
  return true;
}

// A float in the C locale's notation (the tool never sets a locale).
bool ParseFloat(const char* text, float* value) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  float v = std::strtof(text, &end);
  if (errno != 0 || *end != '\0') return false;
  *value = v;
  return true;
}

bool ParseRawVersion(const char* text, uint32_t* bits) {
  if (text == nullptr || std::strlen(text) != 8) return false;
  uint64_t v = 0;
  std::string hex = std::string("0x") + text;
  for (const char* c = text; *c != '\0'; ++c) {
    if (std::strchr("0123456789abcdefABCDEF", *c) == nullptr) return false;
  }
  if (!ParseNumber(hex.c_str(), 0xFFFFFFFFu, &v)) return false;
  *bits = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string output;
  std::string bodyPath;
  bool generate = false;
  uint64_t generateBytes = 0;
  uint64_t seed = 1;
  uint64_t chain = 0;
  uint64_t chainBytes = 4096;
  PackedImage first;
  first.fwVersionBits = VersionBits(1.1f);
  first.version2Bits = VersionBits(0.9f);
  PackOptions options;

  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      PrintUsage(stdout);
      return 0;
    }
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    if (value == nullptr) return Fail("unknown option or missing value: " + arg);
    uint64_t n = 0;
    float f = 0.0f;
    bool ok = true;
    if (arg == "-o" || arg == "--output") {
      output = value;
    } else if (arg == "--body") {
      bodyPath = value;
    } else if (arg == "--generate") {
      ok = ParseNumber(value, kMaxGenerateBytes, &generateBytes);
      generate = true;
    } else if (arg == "--seed") {
      ok = ParseNumber(value, 0xFFFFFFFFu, &seed);
    } else if (arg == "--device") {
      ok = ParseNumber(value, 0xFFFFFFFFu, &n);
      first.intendedDevice = static_cast<uint32_t>(n);
    } else if (arg == "--fw-version") {
      ok = ParseFloat(value, &f);
      first.fwVersionBits = VersionBits(f);
    } else if (arg == "--fw-version-raw") {
      ok = ParseRawVersion(value, &first.fwVersionBits);
    } else if (arg == "--version2") {
      ok = ParseFloat(value, &f);
      first.version2Bits = VersionBits(f);
    } else if (arg == "--version2-raw") {
      ok = ParseRawVersion(value, &first.version2Bits);
    } else if (arg == "--extra-u16") {
      ok = ParseNumber(value, 0xFFFFu, &n);
      first.extraU16 = static_cast<uint16_t>(n);
    } else if (arg == "--extra-u32") {
      ok = ParseNumber(value, 0xFFFFFFFFu, &n);
      first.extraU32 = static_cast<uint32_t>(n);
    } else if (arg == "--chain") {
      ok = ParseNumber(value, 1000, &chain);
    } else if (arg == "--chain-bytes") {
      ok = ParseNumber(value, kMaxFirmwareFileBytes, &chainBytes);
    } else if (arg == "--image-count") {
      ok = ParseNumber(value, 0xFFFFu, &n);
      options.countGiven = true;
      options.imageCount = static_cast<uint16_t>(n);
    } else if (arg == "--image-bytes") {
      ok = ParseNumber(value, 0xFFFFFFFFu, &n);
      first.lengthGiven = true;
      first.imageBytes = static_cast<uint32_t>(n);
    } else if (arg == "--next") {
      ok = ParseNumber(value, 0xFFFFFFFFu, &n);
      first.nextGiven = true;
      first.nextOffset = static_cast<uint32_t>(n);
    } else if (arg == "--magic") {
      ok = std::strlen(value) == 4;
      if (ok) {
        options.magic = static_cast<uint32_t>(static_cast<uint8_t>(value[0])) << 24 |
                        static_cast<uint32_t>(static_cast<uint8_t>(value[1])) << 16 |
                        static_cast<uint32_t>(static_cast<uint8_t>(value[2])) << 8 |
                        static_cast<uint8_t>(value[3]);
      }
    } else if (arg == "--truncate") {
      ok = ParseNumber(value, 0xFFFFFFFFu, &n);
      options.truncateTo = static_cast<int64_t>(n);
    } else {
      return Fail("unknown option " + arg);
    }
    if (!ok) return Fail("bad value for " + arg + ": " + value);
    ++i;
  }
  if (output.empty()) return Fail("no output file (-o FILE)");
  if (generate == !bodyPath.empty()) return Fail("give exactly one of --body and --generate");

  std::string error;
  if (generate) {
    first.body = GeneratedBody(static_cast<uint32_t>(generateBytes), static_cast<uint32_t>(seed));
  } else if (!ReadFileBytes(bodyPath, &first.body, &error)) {
    return Fail(error);
  }
  std::vector<PackedImage> images = {first};
  for (uint64_t k = 0; k < chain; ++k) {
    PackedImage more;
    more.fwVersionBits = first.fwVersionBits;
    more.version2Bits = first.version2Bits;
    more.body =
        GeneratedBody(static_cast<uint32_t>(chainBytes), static_cast<uint32_t>(seed + k + 1));
    images.push_back(more);
  }
  std::vector<uint8_t> bytes = PackFirmware(images, options);
  if (!WriteFileBytes(output, bytes, &error)) {
    std::fprintf(stderr, "qxfwpack: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: %zu bytes, %zu image(s), image 0 body %zu bytes\n", output.c_str(), bytes.size(),
              images.size(), first.body.size());
  return 0;
}
