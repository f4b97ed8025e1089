// qxfwpack: builds a firmware upgrade file from a body file or generated
// content. Options can also make bad files on purpose (another device, a
// lying image count or length, a chain pointing anywhere, a cut-off file), so
// that users and tests can try the upgrade's refusals.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/cli.h"
#include "upgrade/firmware_pack.h"

namespace {

// Enough for a file over the reader's limit, not enough to exhaust memory.
constexpr uint64_t kMaxGenerateBytes = 64u * 1024u * 1024u;

constexpr const char* kUsage =
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
    "  --help, --version       this text, the version\n"
    "\n"
    "Options take their value as --opt VALUE or --opt=VALUE. Exit status: 0 file\n"
    "written, 1 could not write it, 2 bad arguments.\n";

bool ParseNumber(const char* text, uint64_t limit, uint64_t* value) {
  return cli::ParseUnsigned(text, limit, value);
}

// A float in the C notation.
bool ParseFloat(const char* text, float* value) {
  double v = 0;
  if (!cli::ParseReal(text, &v)) return false;
  *value = static_cast<float>(v);
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

  cli::Arguments args("qxfwpack", argc, argv);
  while (args.Next()) {
    if (args.HelpOrVersion(kUsage)) return cli::kExitOk;
    const char* value = nullptr;
    uint64_t n = 0;
    float f = 0.0f;
    bool ok = true;
    if (args.Option("-o", &value) || args.Option("--output", &value)) {
      output = value;
    } else if (args.Option("--body", &value)) {
      bodyPath = value;
    } else if (args.Option("--generate", &value)) {
      ok = ParseNumber(value, kMaxGenerateBytes, &generateBytes);
      generate = true;
    } else if (args.Option("--seed", &value)) {
      ok = ParseNumber(value, 0xFFFFFFFFu, &seed);
    } else if (args.Option("--device", &value)) {
      ok = ParseNumber(value, 0xFFFFFFFFu, &n);
      first.intendedDevice = static_cast<uint32_t>(n);
    } else if (args.Option("--fw-version", &value)) {
      ok = ParseFloat(value, &f);
      first.fwVersionBits = VersionBits(f);
    } else if (args.Option("--fw-version-raw", &value)) {
      ok = ParseRawVersion(value, &first.fwVersionBits);
    } else if (args.Option("--version2", &value)) {
      ok = ParseFloat(value, &f);
      first.version2Bits = VersionBits(f);
    } else if (args.Option("--version2-raw", &value)) {
      ok = ParseRawVersion(value, &first.version2Bits);
    } else if (args.Option("--extra-u16", &value)) {
      ok = ParseNumber(value, 0xFFFFu, &n);
      first.extraU16 = static_cast<uint16_t>(n);
    } else if (args.Option("--extra-u32", &value)) {
      ok = ParseNumber(value, 0xFFFFFFFFu, &n);
      first.extraU32 = static_cast<uint32_t>(n);
    } else if (args.Option("--chain", &value)) {
      ok = ParseNumber(value, 1000, &chain);
    } else if (args.Option("--chain-bytes", &value)) {
      ok = ParseNumber(value, kMaxFirmwareFileBytes, &chainBytes);
    } else if (args.Option("--image-count", &value)) {
      ok = ParseNumber(value, 0xFFFFu, &n);
      options.countGiven = true;
      options.imageCount = static_cast<uint16_t>(n);
    } else if (args.Option("--image-bytes", &value)) {
      ok = ParseNumber(value, 0xFFFFFFFFu, &n);
      first.lengthGiven = true;
      first.imageBytes = static_cast<uint32_t>(n);
    } else if (args.Option("--next", &value)) {
      ok = ParseNumber(value, 0xFFFFFFFFu, &n);
      first.nextGiven = true;
      first.nextOffset = static_cast<uint32_t>(n);
    } else if (args.Option("--magic", &value)) {
      ok = std::strlen(value) == 4;
      if (ok) {
        options.magic = static_cast<uint32_t>(static_cast<uint8_t>(value[0])) << 24 |
                        static_cast<uint32_t>(static_cast<uint8_t>(value[1])) << 16 |
                        static_cast<uint32_t>(static_cast<uint8_t>(value[2])) << 8 |
                        static_cast<uint8_t>(value[3]);
      }
    } else if (args.Option("--truncate", &value)) {
      ok = ParseNumber(value, 0xFFFFFFFFu, &n);
      options.truncateTo = static_cast<int64_t>(n);
    } else {
      return args.Unknown();
    }
    if (!ok) return args.BadValue("a valid value");
  }
  if (args.failed()) return cli::kExitUsage;
  if (output.empty()) return args.Error("no output file (-o FILE)");
  if (generate == !bodyPath.empty()) return args.Error("give exactly one of --body and --generate");

  std::string error;
  if (generate) {
    first.body = GeneratedBody(static_cast<uint32_t>(generateBytes), static_cast<uint32_t>(seed));
  } else if (!ReadFileBytes(bodyPath, &first.body, &error)) {
    return args.Error(error);
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
