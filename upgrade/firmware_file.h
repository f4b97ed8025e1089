// A firmware upgrade file: one or more images, each a 128-byte big-endian
// header followed by its body, the headers chained by absolute file offsets.
// The whole file is loaded into memory at construction. Every operation
// reports through one sticky error code: after the first failure every later
// operation returns the same code. No operation reads outside the bytes that
// were read from the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "base/status_codes.h"
#include "harness/context.h"

constexpr uint32_t kImageMagic = 0x51584658;  // "QXFX", at file offset 0 only
constexpr uint32_t kImageHeaderBytes = 128;
constexpr uint32_t kImageDigestBytes = 20;
constexpr size_t kFirmwarePathCapacity = 2048;
// Larger files are refused before they are read; the message of code 2 names
// this limit.
constexpr uint32_t kMaxFirmwareFileBytes = 10u * 1024u * 1024u;

// Header fields, relative to the header's start.
constexpr uint32_t kHeaderDeviceOffset = 4;
constexpr uint32_t kHeaderVersionOffset = 8;
constexpr uint32_t kHeaderVersion2Offset = 12;
constexpr uint32_t kHeaderExtraU16Offset = 16;
constexpr uint32_t kHeaderImageCountOffset = 18;  // read from image 0's header only
constexpr uint32_t kHeaderNextOffset = 20;
constexpr uint32_t kHeaderBytesOffset = 24;
constexpr uint32_t kHeaderExtraU32Offset = 28;
constexpr uint32_t kHeaderShaBOffset = 76;
constexpr uint32_t kHeaderShaAOffset = 96;

// The file's error codes (FirmwareFileError) and their texts are in
// base/status_codes.h.

// One image header, decoded.
struct ImageInfo {
  uint32_t intendedDevice = 0;
  float fwVersion = 0.0f;
  float version2 = 0.0f;
  uint16_t extraU16 = 0;
  uint32_t imageBytes = 0;
  uint32_t extraU32 = 0;
  uint8_t shaA[kImageDigestBytes] = {};
  uint8_t shaB[kImageDigestBytes] = {};
};

// The version encoding of a header field: the four bytes as a big-endian
// float; a value above 1000.0 or below 0.0 is read instead as byte 2 plus
// byte 3 / 100. A NaN is returned as it is.
float DecodeImageVersion(const uint8_t* bytes);

class FirmwareFile {
 public:
  // Loads the file; the outcome is error(). The path is cut at its first
  // line feed (a line typed at the console may still carry it).
  explicit FirmwareFile(const char* path);
  FirmwareFile(const FirmwareFile&) = delete;
  FirmwareFile& operator=(const FirmwareFile&) = delete;
  ~FirmwareFile() = default;

  // The u16 at file offset 18.
  int GetImageCount(uint16_t* count);
  // Image n's body and header: stored only when the whole 128-byte header
  // lies inside the file (else code 5, stored). n may equal the image count;
  // a greater n returns 4, not stored.
  int GetImageData(uint32_t n, const uint8_t** pointer);
  int GetImageHeader(uint32_t n, const uint8_t** pointer);
  // Decodes image n's header (no check against the image count, but an n
  // beyond what the count field can hold returns 4); info is written only
  // on success.
  int GetImageInfo(uint32_t n, ImageInfo* info);
  // The message of error(); a code above 6 is first clamped to 6 (stored).
  const char* GetErrorText();
  // Frees the buffer; every later read fails.
  void Release();

  // Offset readers. A field that does not lie wholly inside the file sets
  // error 5 (unless an error is already set) and reads as 0.
  uint16_t ReadU16BE(uint64_t offset);
  uint32_t ReadU32BE(uint64_t offset);
  float ReadVersion(uint64_t offset);
  // Copies the 20 bytes at offset; returns 0 or 5 (out left untouched).
  int ReadDigest(uint64_t offset, uint8_t* out);

  uint32_t size() const { return size_; }
  const uint8_t* data() const { return data_.get(); }
  const char* path() const { return path_; }
  int32_t error() const { return error_; }
  // The bytes of the file from pointer to its end; 0 for a pointer outside.
  uint32_t BytesFrom(const uint8_t* pointer) const;

 private:
  void Load();
  // Walks the chain n links from image 0; returns 0 or the sticky code.
  int FindHeader(uint32_t n, uint32_t* offset);
  bool Covers(uint64_t offset, uint64_t length) const;
  void Fail(int32_t code);

  uint32_t size_ = 0;
  std::unique_ptr<uint8_t[]> data_;  // size_ + 1 bytes, the last one 0
  char path_[kFirmwarePathCapacity] = {};
  int32_t error_ = kFileNoError;
};

// The station's default upgrade file.
extern const char* const kDefaultUpgradeFilePath;

// A test function: checks that the default upgrade file decodes. EL = 2 when
// image 0's header decodes, else 5; Msg = the file's error text.
uint32_t CheckUpgradeFile(TestContext* context);
// The same on another path.
uint32_t CheckUpgradeFileAt(TestContext* context, const char* path);
