// Builds firmware upgrade files, good ones and deliberately bad ones, for the
// packing tool and for tests: the images are laid out one after the other,
// each header naming the next one's offset.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "upgrade/firmware_file.h"

constexpr uint32_t kStationDeviceCode = 100017001;

struct PackedImage {
  uint32_t intendedDevice = kStationDeviceCode;
  // The version fields' four bytes as they go into the file (see
  // VersionBytes for a float).
  uint32_t fwVersionBits = 0;
  uint32_t version2Bits = 0;
  uint16_t extraU16 = 0;
  uint32_t extraU32 = 0;
  uint8_t shaA[kImageDigestBytes] = {};
  uint8_t shaB[kImageDigestBytes] = {};
  std::vector<uint8_t> body;
  // Overrides: the length field (else the body's length) and the next-header
  // offset (else the offset of the following image, 0 after the last).
  bool lengthGiven = false;
  uint32_t imageBytes = 0;
  bool nextGiven = false;
  uint32_t nextOffset = 0;
};

struct PackOptions {
  // Image count at offset 18; by default the number of images.
  bool countGiven = false;
  uint16_t imageCount = 0;
  uint32_t magic = kImageMagic;
  // Cut the file to this many bytes (after packing); -1 keeps it whole.
  int64_t truncateTo = -1;
};

// The big-endian bit pattern of a float, as a version field holds it.
uint32_t VersionBits(float version);

// A deterministic body of the given length (the same seed gives the same
// bytes), never all 0xFF, so that a page left erased shows.
std::vector<uint8_t> GeneratedBody(uint32_t length, uint32_t seed);

std::vector<uint8_t> PackFirmware(const std::vector<PackedImage>& images,
                                  const PackOptions& options);

// Writes bytes to path; false with *error on failure.
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes, std::string* error);
// Reads at most maxBytes: a longer file, or an endless one such as a device,
// is refused (false with *error) rather than read until memory runs out.
constexpr size_t kMaxReadFileBytes = 64u * 1024u * 1024u;
bool ReadFileBytes(const std::string& path, std::vector<uint8_t>* bytes, std::string* error,
                   size_t maxBytes = kMaxReadFileBytes);
