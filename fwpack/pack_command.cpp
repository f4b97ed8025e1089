#include "fwpack/pack_command.h"

#include <cstdio>
#include <limits>
#include <vector>

namespace {

// Enough for a file over the reader's limit, not enough to exhaust memory.
constexpr uint64_t kMaxGenerateBytes = 64u * 1024u * 1024u;
const cli::Refusal kBad = cli::IsNot("a valid value");

// A float's bits, as a version field holds it.
cli::Handler Version(uint32_t* bits) {
  const double most = std::numeric_limits<float>::max();
  return cli::Real(-most, most, kBad,
                   [bits](double v) { *bits = VersionBits(static_cast<float>(v)); });
}

// Eight hexadecimal digits: the field's four bytes as they are.
cli::Handler RawVersion(uint32_t* bits) {
  return [bits](cli::Value& v) {
    uint64_t n = 0;
    const std::string& text = v.string();
    bool hex =
        text.size() == 8 && text.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (!hex || !cli::ParseUnsigned(("0x" + text).c_str(), 0xFFFFFFFFu, &n)) {
      return v.Refuse(kBad);
    }
    *bits = static_cast<uint32_t>(n);
    return true;
  };
}

// A whole number that also marks its field as given.
template <typename T>
cli::Handler Given(T* target, bool* given, uint64_t high) {
  return cli::Whole(0, high, kBad, [target, given](uint64_t n) {
    *target = static_cast<T>(n);
    *given = true;
  });
}

void AddBodyOptions(cli::OptionTable* table, PackCommand* c) {
  table->Option("-o, --output FILE", "the file to write", cli::Text(&c->output));
  table->Option("--body FILE", "image 0's body, taken from FILE", cli::Text(&c->bodyPath));
  table->Option("--generate BYTES", "image 0's body, BYTES of generated content",
                cli::Whole(0, kMaxGenerateBytes, kBad, [c](uint64_t n) {
                  c->generateBytes = n;
                  c->generate = true;
                }));
  table->Option("--seed N", "seed of the generated content (default 1)",
                cli::Whole(&c->seed, 0xFFFFFFFFu, kBad));
  table->Option("--device CODE", "intended device code (default 100017001)",
                cli::Whole(&c->first.intendedDevice, 0xFFFFFFFFu, kBad));
  table->Option("--fw-version V", "firmware version, a float (default 1.1)",
                Version(&c->first.fwVersionBits));
  table->Option("--fw-version-raw HEX", "the firmware version field's 4 bytes, e.g. 7F000117",
                RawVersion(&c->first.fwVersionBits));
  table->Option("--version2 V", "second version number (default 0.9)",
                Version(&c->first.version2Bits));
  table->Option("--version2-raw HEX", "the second version field's 4 bytes",
                RawVersion(&c->first.version2Bits));
  table->Option("--extra-u16 N", "the 16-bit value at header offset 16",
                cli::Whole(&c->first.extraU16, 0xFFFFu, kBad));
  table->Option("--extra-u32 N", "the 32-bit value at header offset 28",
                cli::Whole(&c->first.extraU32, 0xFFFFFFFFu, kBad));
}

void AddLayoutOptions(cli::OptionTable* table, PackCommand* c) {
  table->Option("--chain N", "N more images of --chain-bytes each (default 4096)",
                cli::Whole(&c->chain, 1000, kBad));
  table->Option("--chain-bytes BYTES", "body length of the chained images",
                cli::Whole(&c->chainBytes, kMaxFirmwareFileBytes, kBad));
  table->Option("--image-count N", "image count field (default: number of images)",
                Given(&c->options.imageCount, &c->options.countGiven, 0xFFFFu));
  table->Option("--image-bytes N", "image 0's length field (default: its body length)",
                Given(&c->first.imageBytes, &c->first.lengthGiven, 0xFFFFFFFFu));
  table->Option("--next OFFSET", "image 0's next-header offset",
                Given(&c->first.nextOffset, &c->first.nextGiven, 0xFFFFFFFFu));
  table->Option("--magic TEXT", "the 4-character magic (default QXFX)", [c](cli::Value& v) {
    if (v.string().size() != 4) return v.Refuse(kBad);
    uint32_t magic = 0;
    for (char ch : v.string()) magic = magic << 8 | static_cast<uint8_t>(ch);
    c->options.magic = magic;
    return true;
  });
  table->Option("--truncate BYTES", "cut the file to BYTES",
                cli::Whole(&c->options.truncateTo, 0xFFFFFFFFu, kBad));
}

}  // namespace

PackCommand::PackCommand() {
  first.fwVersionBits = VersionBits(1.1f);
  first.version2Bits = VersionBits(0.9f);
}

void AddPackOptions(cli::OptionTable* table, PackCommand* command) {
  AddBodyOptions(table, command);
  AddLayoutOptions(table, command);
}

std::string CheckPackCommand(const PackCommand& c) {
  if (c.output.empty()) return "no output file (-o FILE)";
  if (c.generate == !c.bodyPath.empty()) return "give exactly one of --body and --generate";
  return "";
}

int WritePack(const PackCommand& c) {
  std::string error;
  PackedImage first = c.first;
  if (c.generate) {
    first.body =
        GeneratedBody(static_cast<uint32_t>(c.generateBytes), static_cast<uint32_t>(c.seed));
  } else if (!ReadFileBytes(c.bodyPath, &first.body, &error)) {
    return cli::UsageError("qxfwpack", error);
  }
  std::vector<PackedImage> images = {first};
  for (uint64_t k = 0; k < c.chain; ++k) {
    PackedImage more;
    more.fwVersionBits = first.fwVersionBits;
    more.version2Bits = first.version2Bits;
    more.body =
        GeneratedBody(static_cast<uint32_t>(c.chainBytes), static_cast<uint32_t>(c.seed + k + 1));
    images.push_back(more);
  }
  std::vector<uint8_t> bytes = PackFirmware(images, c.options);
  if (!WriteFileBytes(c.output, bytes, &error)) {
    std::fprintf(stderr, "qxfwpack: %s\n", error.c_str());
    return 1;
  }
  std::printf("%s: %zu bytes, %zu image(s), image 0 body %zu bytes\n", c.output.c_str(),
              bytes.size(), images.size(), first.body.size());
  return 0;
}
