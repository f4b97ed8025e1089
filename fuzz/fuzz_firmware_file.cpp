// The firmware file reader on any bytes: every image's header, data and
// info, and the upgrade's check that image 0 fits, never read outside the file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "upgrade/firmware_file.h"
#include "upgrade/upgrade_sequencer.h"

namespace {

// The reader takes a path: one file per fuzzing process, rewritten per input.
const std::string& ScratchPath() {
  static const std::string path =
      "/tmp/qxfuzz-firmware-" + std::to_string(std::random_device()()) + ".bin";
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(ScratchPath().c_str(), "wb");
  if (f == nullptr) return 0;
  if (size > 0) std::fwrite(data, 1, size, f);
  std::fclose(f);

  FirmwareFile file(ScratchPath().c_str());
  uint16_t count = 0;
  file.GetImageCount(&count);
  for (uint32_t n = 0; n <= count && n < 64; ++n) {
    ImageInfo info;
    const uint8_t* body = nullptr;
    const uint8_t* header = nullptr;
    file.GetImageInfo(n, &info);
    file.GetImageData(n, &body);
    file.GetImageHeader(n, &header);
    uint32_t pages = 0;
    if (n == 0 && CheckImageFits(file, info, body, header, &pages) == 0) {
      // What the upgrade would write: every byte of the body and the info page.
      volatile uint8_t sum = 0;
      for (uint32_t i = 0; i < info.imageBytes; ++i) sum = sum + body[i];
      for (uint32_t i = 0; i < 4096; ++i) sum = sum + header[i];
    }
  }
  file.GetErrorText();
  return 0;
}
