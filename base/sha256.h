// SHA-256 (FIPS 180-4), for the fingerprints in the run records: an upgrade
// image's digest and the one of the station's compiled-in limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t size);
  // The digest as 64 lower-case hex digits, as sha256sum prints it; the
  // object must not be updated afterwards.
  std::string HexDigest();

 private:
  void Block(const uint8_t* block);

  uint32_t state_[8];
  uint8_t buffer_[64] = {};
  size_t buffered_ = 0;
  uint64_t bytes_ = 0;
};

std::string Sha256Hex(const std::string& data);
