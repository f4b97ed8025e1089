#include "upgrade/firmware_file.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "base/status_codes.h"
#include "base/text.h"
#include "platform/byte_order.h"
#include "platform/file_system.h"
#include "platform/status.h"

// Kept on drive C: beside the station's other files.
const char* const kDefaultUpgradeFilePath =
    "C:\\QXTest\\UpgradeFiles\\BrosellFW_01021_12022011.bin";

namespace {

// The image count is a u16, so no chain is longer than this; a larger image
// number would only walk a looping chain for a long time.
constexpr uint32_t kMaxImageNumber = 0xFFFF;
constexpr size_t kReadChunk = 64 * 1024;

}  // namespace

float DecodeImageVersion(const uint8_t* bytes) {
  float value = GetF32BE(bytes, 4, 0);
  if (std::isnan(value)) return value;
  if (value > 1000.0f || value < 0.0f) return static_cast<float>(bytes[2] + bytes[3] / 100.0);
  return value;
}

FirmwareFile::FirmwareFile(const char* path) {
  TextCopy(path_, sizeof path_, path);
  char* feed = std::strchr(path_, '\n');
  if (feed != nullptr) *feed = '\0';
  Load();
}

void FirmwareFile::Load() {
  // Only a regular file: a FIFO or a device would hold the upgrade forever.
  std::FILE* file = nullptr;
  if (platform::OpenRegularFile(path_, &file) != platform::kOk) {
    error_ = kFileCannotOpen;
    return;
  }
  // Read in chunks up to the limit rather than trusting a length learnt by
  // seeking: the file may be a pipe or may change while it is read.
  std::vector<uint8_t> content;
  bool tooLarge = false;
  bool failed = false;
  while (true) {
    size_t have = content.size();
    content.resize(have + kReadChunk);
    size_t n = std::fread(content.data() + have, 1, kReadChunk, file);
    content.resize(have + n);
    if (content.size() > kMaxFirmwareFileBytes) {
      tooLarge = true;
      break;
    }
    if (n < kReadChunk) {
      failed = std::ferror(file) != 0;
      break;
    }
  }
  std::fclose(file);
  if (failed && content.empty()) {
    // Opened but unreadable (a directory, for one): nothing to read there.
    error_ = kFileCannotOpen;
    return;
  }
  if (tooLarge || failed) {
    error_ = kFileIncompleteRead;
    return;
  }
  size_ = static_cast<uint32_t>(content.size());
  data_.reset(new uint8_t[size_ + 1]);
  if (size_ > 0) std::memcpy(data_.get(), content.data(), size_);
  data_[size_] = 0;
  if (size_ < 4 || GetU32BE(data_.get(), size_, 0) != kImageMagic) error_ = kFileNotFirmware;
}

void FirmwareFile::Release() {
  data_.reset();
  size_ = 0;
}

bool FirmwareFile::Covers(uint64_t offset, uint64_t length) const {
  return data_ != nullptr && offset <= size_ && length <= size_ - offset;
}

void FirmwareFile::Fail(int32_t code) {
  if (error_ == kFileNoError) error_ = code;
}

uint16_t FirmwareFile::ReadU16BE(uint64_t offset) {
  if (!Covers(offset, 2)) {
    Fail(kFileInvalid);
    return 0;
  }
  return GetU16BE(data_.get(), size_, offset);
}

uint32_t FirmwareFile::ReadU32BE(uint64_t offset) {
  if (!Covers(offset, 4)) {
    Fail(kFileInvalid);
    return 0;
  }
  return GetU32BE(data_.get(), size_, offset);
}

float FirmwareFile::ReadVersion(uint64_t offset) {
  if (!Covers(offset, 4)) {
    Fail(kFileInvalid);
    return 0.0f;
  }
  return DecodeImageVersion(data_.get() + offset);
}

int FirmwareFile::ReadDigest(uint64_t offset, uint8_t* out) {
  if (!Covers(offset, kImageDigestBytes)) {
    Fail(kFileInvalid);
    return kFileInvalid;
  }
  std::memcpy(out, data_.get() + offset, kImageDigestBytes);
  return 0;
}

uint32_t FirmwareFile::BytesFrom(const uint8_t* pointer) const {
  const uint8_t* begin = data_.get();
  if (begin == nullptr || pointer == nullptr) return 0;
  // Compare as addresses: relational operators on pointers into different
  // objects are not defined.
  uintptr_t p = reinterpret_cast<uintptr_t>(pointer);
  uintptr_t b = reinterpret_cast<uintptr_t>(begin);
  if (p < b || p - b > size_) return 0;
  return static_cast<uint32_t>(size_ - (p - b));
}

int FirmwareFile::GetImageCount(uint16_t* count) {
  if (error_ != kFileNoError) return error_;
  uint16_t value = ReadU16BE(kHeaderImageCountOffset);
  if (error_ != kFileNoError) return error_;
  *count = value;
  return 0;
}

int FirmwareFile::FindHeader(uint32_t n, uint32_t* offset) {
  if (n > kMaxImageNumber) return kFileNoSuchImage;
  uint32_t h = 0;
  for (uint32_t i = 0; i < n; ++i) {
    h = ReadU32BE(uint64_t{h} + kHeaderNextOffset);
    if (error_ != kFileNoError) return error_;
  }
  *offset = h;
  return 0;
}

int FirmwareFile::GetImageData(uint32_t n, const uint8_t** pointer) {
  const uint8_t* header = nullptr;
  int code = GetImageHeader(n, &header);
  if (code != 0) return code;
  *pointer = header + kImageHeaderBytes;
  return 0;
}

int FirmwareFile::GetImageHeader(uint32_t n, const uint8_t** pointer) {
  uint16_t count = 0;
  int code = GetImageCount(&count);
  if (code != 0) return code;
  if (n > count) return kFileNoSuchImage;
  uint32_t h = 0;
  code = FindHeader(n, &h);
  if (code != 0) return code;
  // A header cut short by the end of the file is as bad as one beyond it:
  // its body would start outside the file.
  if (!Covers(h, kImageHeaderBytes)) {
    Fail(kFileInvalid);
    return error_;
  }
  *pointer = data_.get() + h;
  return 0;
}

int FirmwareFile::GetImageInfo(uint32_t n, ImageInfo* info) {
  if (error_ != kFileNoError) return error_;
  uint32_t h = 0;
  int code = FindHeader(n, &h);
  if (code != 0) return code;
  ImageInfo decoded;
  decoded.intendedDevice = ReadU32BE(uint64_t{h} + kHeaderDeviceOffset);
  decoded.fwVersion = ReadVersion(uint64_t{h} + kHeaderVersionOffset);
  decoded.version2 = ReadVersion(uint64_t{h} + kHeaderVersion2Offset);
  decoded.extraU16 = ReadU16BE(uint64_t{h} + kHeaderExtraU16Offset);
  decoded.imageBytes = ReadU32BE(uint64_t{h} + kHeaderBytesOffset);
  decoded.extraU32 = ReadU32BE(uint64_t{h} + kHeaderExtraU32Offset);
  ReadDigest(uint64_t{h} + kHeaderShaAOffset, decoded.shaA);
  ReadDigest(uint64_t{h} + kHeaderShaBOffset, decoded.shaB);
  if (error_ != kFileNoError) return error_;
  *info = decoded;
  return 0;
}

const char* FirmwareFile::GetErrorText() {
  if (error_ > kFileUnknownError || error_ < kFileNoError) error_ = kFileUnknownError;
  return StatusCodeText(StatusFamily::kFirmwareFile, error_);
}

uint32_t CheckUpgradeFileAt(TestContext* context, const char* path) {
  context->EL = kLevelPassed;
  FirmwareFile file(path);
  ImageInfo info;
  if (file.GetImageInfo(0, &info) != 0) {
    context->EL = kLevelFatal;
    context->failureSource = kSourceStation;  // the station's upgrade file
  }
  TextCopy(context->Msg, file.GetErrorText());
  file.Release();
  return 1;
}

uint32_t CheckUpgradeFile(TestContext* context) {
  return CheckUpgradeFileAt(context, kDefaultUpgradeFilePath);
}
