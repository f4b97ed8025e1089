#include "fwpack/firmware_pack.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/byte_order.h"

uint32_t VersionBits(float version) { return FloatBits(version); }

std::vector<uint8_t> GeneratedBody(uint32_t length, uint32_t seed) {
  std::vector<uint8_t> body(length);
  // xorshift32; a zero state would stay zero.
  uint32_t state = seed * 2654435761u + 0x9E3779B9u;
  if (state == 0) state = 1;
  for (uint32_t i = 0; i < length; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    uint8_t b = static_cast<uint8_t>(state >> 24);
    // Keep every byte distinguishable from erased flash.
    body[i] = b == 0xFF ? 0x7F : b;
  }
  return body;
}

std::vector<uint8_t> PackFirmware(const std::vector<PackedImage>& images,
                                  const PackOptions& options) {
  std::vector<uint32_t> starts;
  uint64_t at = 0;
  for (const PackedImage& image : images) {
    starts.push_back(static_cast<uint32_t>(at));
    at += kImageHeaderBytes + image.body.size();
  }
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(at));
  for (size_t i = 0; i < images.size(); ++i) {
    const PackedImage& image = images[i];
    uint8_t header[kImageHeaderBytes] = {};
    PutU32BE(header, 0, options.magic);
    PutU32BE(header, kHeaderDeviceOffset, image.intendedDevice);
    PutU32BE(header, kHeaderVersionOffset, image.fwVersionBits);
    PutU32BE(header, kHeaderVersion2Offset, image.version2Bits);
    PutU16BE(header, kHeaderExtraU16Offset, image.extraU16);
    uint16_t count = options.countGiven ? options.imageCount : static_cast<uint16_t>(images.size());
    PutU16BE(header, kHeaderImageCountOffset, count);
    uint32_t next = i + 1 < images.size() ? starts[i + 1] : 0;
    if (image.nextGiven) next = image.nextOffset;
    PutU32BE(header, kHeaderNextOffset, next);
    uint32_t length =
        image.lengthGiven ? image.imageBytes : static_cast<uint32_t>(image.body.size());
    PutU32BE(header, kHeaderBytesOffset, length);
    PutU32BE(header, kHeaderExtraU32Offset, image.extraU32);
    std::memcpy(header + kHeaderShaBOffset, image.shaB, kImageDigestBytes);
    std::memcpy(header + kHeaderShaAOffset, image.shaA, kImageDigestBytes);
    out.insert(out.end(), header, header + kImageHeaderBytes);
    out.insert(out.end(), image.body.begin(), image.body.end());
  }
  if (options.truncateTo >= 0 && static_cast<uint64_t>(options.truncateTo) < out.size()) {
    out.resize(static_cast<size_t>(options.truncateTo));
  }
  return out;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes,
                    std::string* error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0) ok = false;
  if (!ok) *error = path + ": write failed";
  return ok;
}

bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* error,
                   size_t maxBytes) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = path + ": " + std::strerror(errno);
    return false;
  }
  bytes->clear();
  uint8_t chunk[4096];
  size_t n;
  bool tooLong = false;
  while (!tooLong && (n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    if (n > maxBytes - bytes->size()) {
      tooLong = true;
    } else {
      bytes->insert(bytes->end(), chunk, chunk + n);
    }
  }
  bool ok = std::ferror(file) == 0 && !tooLong;
  std::fclose(file);
  if (tooLong) {
    *error = path + ": longer than " + std::to_string(maxBytes) + " bytes";
    bytes->clear();
  } else if (!ok) {
    *error = path + ": read failed";
  }
  return ok;
}
