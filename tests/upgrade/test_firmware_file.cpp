// Firmware upgrade files on crafted content: opening and the magic, the
// sticky error code, header decoding and the version encoding, chains and
// image counts that point outside the file, cut-off headers, and the
// upgrade file check.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fwpack/firmware_pack.h"
#include "platform/byte_order.h"
#include "tests/support/temp_dir.h"
#include "upgrade/firmware_file.h"

namespace {

class FirmwareFileTest : public ::testing::Test {
 protected:
  std::string Write(const std::vector<uint8_t>& bytes, const char* name = "image.bin") {
    std::string path = dir_.File(name);
    std::string error;
    EXPECT_TRUE(WriteFileBytes(path, bytes, &error)) << error;
    return path;
  }
  // Two chained images: image 0 of bodyBytes, image 1 of 256 bytes.
  static std::vector<PackedImage> TwoImages(uint32_t bodyBytes = 4096) {
    PackedImage a;
    a.fwVersionBits = VersionBits(1.5f);
    a.version2Bits = VersionBits(0.9f);
    a.body = GeneratedBody(bodyBytes, 1);
    PackedImage b;
    b.intendedDevice = 4242;
    b.fwVersionBits = VersionBits(2.25f);
    b.body = GeneratedBody(256, 2);
    return {a, b};
  }
  TempDir dir_;
};

// --- Opening ---------------------------------------------------------------

struct OpenCase {
  const char* label;
  std::vector<uint8_t> content;
  int32_t error;
  const char* text;
};

TEST_F(FirmwareFileTest, OpeningGivesTheCodeAndTextOfWhatWasFound) {
  const std::vector<uint8_t> good = PackFirmware(TwoImages(), PackOptions());
  const OpenCase cases[] = {
      {"good file", good, kFileNoError, "No error"},
      {"header only", {'Q', 'X', 'F', 'X'}, kFileNoError, "No error"},
      {"other magic",
       {'Q', 'X', 'F', 'Y', 0, 0, 0, 0},
       kFileNotFirmware,
       "File does not appear to be QX Firmware"},
      {"magic lower case",
       {'q', 'x', 'f', 'x'},
       kFileNotFirmware,
       "File does not appear to be QX Firmware"},
      {"three bytes", {'Q', 'X', 'F'}, kFileNotFirmware, "File does not appear to be QX Firmware"},
      {"empty", {}, kFileNotFirmware, "File does not appear to be QX Firmware"},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.label);
    FirmwareFile file(Write(c.content).c_str());
    EXPECT_EQ(c.error, file.error());
    EXPECT_STREQ(c.text, file.GetErrorText());
    EXPECT_EQ(c.content.size(), file.size());
    if (!c.content.empty()) {
      EXPECT_EQ(0, std::memcmp(c.content.data(), file.data(), file.size()));
    }
  }
}

TEST_F(FirmwareFileTest, WhatCannotBeOpenedIsCodeOne) {
  const std::string paths[] = {"", dir_.File("missing.bin"), dir_.path()};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    FirmwareFile file(path.c_str());
    EXPECT_EQ(kFileCannotOpen, file.error());
    EXPECT_STREQ("Could not find/open file", file.GetErrorText());
    EXPECT_EQ(0u, file.size());
    ImageInfo info;
    EXPECT_EQ(kFileCannotOpen, file.GetImageInfo(0, &info));
  }
}

TEST_F(FirmwareFileTest, APathTypedWithItsLineFeedIsCutThere) {
  std::string path = Write(PackFirmware(TwoImages(), PackOptions()));
  FirmwareFile file((path + "\n").c_str());
  EXPECT_EQ(kFileNoError, file.error());
  EXPECT_EQ(path, file.path());
  FirmwareFile rest((path + "\nsomething else").c_str());
  EXPECT_EQ(kFileNoError, rest.error());
  EXPECT_EQ(path, rest.path());
}

TEST_F(FirmwareFileTest, AFileOverTheLimitIsRefusedWithCodeTwo) {
  std::vector<uint8_t> bytes(kMaxFirmwareFileBytes, 0x11);
  bytes[0] = 'Q', bytes[1] = 'X', bytes[2] = 'F', bytes[3] = 'X';
  {
    FirmwareFile atLimit(Write(bytes, "limit.bin").c_str());
    EXPECT_EQ(kFileNoError, atLimit.error());
    EXPECT_EQ(kMaxFirmwareFileBytes, atLimit.size());
  }
  bytes.push_back(0x11);
  FirmwareFile over(Write(bytes, "over.bin").c_str());
  EXPECT_EQ(kFileIncompleteRead, over.error());
  EXPECT_STREQ("Can not read files over 10MB", over.GetErrorText());
  EXPECT_EQ(0u, over.size());
}

// --- Sticky codes and image numbers --------------------------------------------

TEST_F(FirmwareFileTest, AStoredCodeIsWhatEveryLaterOperationReturns) {
  FirmwareFile file(Write({'N', 'O', 'P', 'E', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                           0,   0,   0,   0,   0, 1, 0, 0, 0, 0, 0, 0, 0, 0})
                        .c_str());
  ASSERT_EQ(kFileNotFirmware, file.error());
  uint16_t count = 77;
  const uint8_t* pointer = nullptr;
  ImageInfo info;
  info.intendedDevice = 99;
  EXPECT_EQ(kFileNotFirmware, file.GetImageCount(&count));
  EXPECT_EQ(kFileNotFirmware, file.GetImageData(0, &pointer));
  EXPECT_EQ(kFileNotFirmware, file.GetImageHeader(0, &pointer));
  EXPECT_EQ(kFileNotFirmware, file.GetImageInfo(0, &info));
  EXPECT_EQ(77, count);
  EXPECT_EQ(nullptr, pointer);
  EXPECT_EQ(99u, info.intendedDevice) << "a failing call leaves its output alone";
  EXPECT_EQ(kFileNotFirmware, file.error());
}

TEST_F(FirmwareFileTest, ImageNumbersUpToTheCountPassAndBeyondItAreCodeFour) {
  PackOptions one;
  one.countGiven = true;
  one.imageCount = 1;
  std::vector<uint8_t> bytes = PackFirmware(TwoImages(), one);
  FirmwareFile file(Write(bytes).c_str());
  uint16_t count = 0;
  ASSERT_EQ(0, file.GetImageCount(&count));
  EXPECT_EQ(1, count);

  const uint8_t* header = nullptr;
  const uint8_t* body = nullptr;
  ASSERT_EQ(0, file.GetImageHeader(1, &header)) << "n equal to the count passes";
  ASSERT_EQ(0, file.GetImageData(1, &body));
  const uint32_t second = kImageHeaderBytes + 4096;
  EXPECT_EQ(file.data() + second, header);
  EXPECT_EQ(file.data() + second + kImageHeaderBytes, body);
  EXPECT_EQ(256u, file.BytesFrom(body));

  const uint8_t* untouched = nullptr;
  EXPECT_EQ(kFileNoSuchImage, file.GetImageData(2, &untouched));
  EXPECT_EQ(kFileNoSuchImage, file.GetImageHeader(2, &untouched));
  EXPECT_EQ(nullptr, untouched);
  EXPECT_EQ(kFileNoError, file.error()) << "code 4 is returned, not stored";
  EXPECT_STREQ("No error", file.GetErrorText());

  ImageInfo info;
  ASSERT_EQ(0, file.GetImageInfo(1, &info));
  EXPECT_EQ(4242u, info.intendedDevice);
  EXPECT_EQ(2.25f, info.fwVersion);
}

// --- Chains and headers that leave the file --------------------------------------

struct ChainCase {
  const char* label;
  uint32_t next;  // image 0's next-header offset
  bool second;    // whether image 1's header lies wholly inside
};

TEST_F(FirmwareFileTest, AChainThatPointsOutsideTheFileIsCodeFive) {
  const uint32_t second = kImageHeaderBytes + 4096;
  const uint32_t size = second + kImageHeaderBytes + 256;
  const ChainCase cases[] = {
      {"true chain", second, true},
      {"back to image 0", 0, true},
      {"last whole header", size - kImageHeaderBytes, true},
      {"header cut by the end", size - kImageHeaderBytes + 1, false},
      {"at the end", size, false},
      {"one past the end", size + 1, false},
      {"near the top of u32", 0xFFFFFFF0u, false},
      {"top of u32", 0xFFFFFFFFu, false},
  };
  for (const ChainCase& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<PackedImage> images = TwoImages();
    images[0].nextGiven = true;
    images[0].nextOffset = c.next;
    FirmwareFile file(Write(PackFirmware(images, PackOptions())).c_str());
    ASSERT_EQ(size, file.size());
    const uint8_t* body = nullptr;
    int code = file.GetImageData(1, &body);
    if (c.second) {
      EXPECT_EQ(0, code);
      EXPECT_EQ(file.data() + c.next + kImageHeaderBytes, body);
      EXPECT_EQ(kFileNoError, file.error());
    } else {
      EXPECT_EQ(kFileInvalid, code);
      EXPECT_EQ(nullptr, body);
      EXPECT_EQ(kFileInvalid, file.error());
      EXPECT_STREQ("File is invalid", file.GetErrorText());
      const uint8_t* zero = nullptr;
      EXPECT_EQ(kFileInvalid, file.GetImageData(0, &zero)) << "the code sticks";
      EXPECT_EQ(nullptr, zero);
    }
  }
}

TEST_F(FirmwareFileTest, DecodingFollowsTheChainWithoutTheCountAndStopsAtItsEnd) {
  std::vector<PackedImage> images = TwoImages();
  FirmwareFile file(Write(PackFirmware(images, PackOptions())).c_str());
  ImageInfo info;
  // Image 1's next offset is 0, so image 2 is image 0 again.
  ASSERT_EQ(0, file.GetImageInfo(2, &info));
  EXPECT_EQ(kStationDeviceCode, info.intendedDevice);

  images[1].nextGiven = true;
  images[1].nextOffset = 0xFFFFFFFCu;  // image 2's header would lie outside
  FirmwareFile broken(Write(PackFirmware(images, PackOptions()), "broken.bin").c_str());
  info.intendedDevice = 5;
  EXPECT_EQ(0, broken.GetImageInfo(1, &info));
  EXPECT_EQ(kFileInvalid, broken.GetImageInfo(2, &info));
  EXPECT_EQ(4242u, info.intendedDevice);
  EXPECT_EQ(kFileInvalid, broken.GetImageInfo(0, &info));
}

TEST_F(FirmwareFileTest, AnImageNumberBeyondAnyCountIsRefusedWithoutWalking) {
  FirmwareFile file(Write(PackFirmware(TwoImages(), PackOptions())).c_str());
  ImageInfo info;
  EXPECT_EQ(kFileNoSuchImage, file.GetImageInfo(0x10000, &info));
  EXPECT_EQ(kFileNoError, file.error());
  EXPECT_EQ(0, file.GetImageInfo(0xFFFF, &info)) << "a looping chain of the greatest count";
}

struct CutCase {
  uint32_t bytes;  // the file cut to this length
  int count;       // GetImageCount
  int info;        // GetImageInfo(0)
  int header;      // GetImageHeader(0)
};

TEST_F(FirmwareFileTest, HeadersCutShortAreCodeFiveWhereverTheCutFalls) {
  // Fields end at 20 (count), 24 (next), 28 (length), 32 (extra), 116 (digest A).
  const CutCase cases[] = {
      {4, kFileInvalid, kFileInvalid, kFileInvalid},
      {19, kFileInvalid, kFileInvalid, kFileInvalid},
      {20, 0, kFileInvalid, kFileInvalid},
      {28, 0, kFileInvalid, kFileInvalid},
      {95, 0, kFileInvalid, kFileInvalid},
      {115, 0, kFileInvalid, kFileInvalid},
      {116, 0, 0, kFileInvalid},
      {127, 0, 0, kFileInvalid},
      {128, 0, 0, 0},
  };
  for (const CutCase& c : cases) {
    SCOPED_TRACE(c.bytes);
    PackOptions cut;
    cut.truncateTo = c.bytes;
    std::vector<uint8_t> bytes = PackFirmware(TwoImages(), cut);
    {
      FirmwareFile file(Write(bytes).c_str());
      uint16_t count = 0;
      EXPECT_EQ(c.count, file.GetImageCount(&count));
    }
    {
      FirmwareFile file(Write(bytes).c_str());
      ImageInfo info;
      EXPECT_EQ(c.info, file.GetImageInfo(0, &info));
    }
    FirmwareFile file(Write(bytes).c_str());
    const uint8_t* header = nullptr;
    const uint8_t* body = nullptr;
    EXPECT_EQ(c.header, file.GetImageHeader(0, &header));
    EXPECT_EQ(c.header, file.GetImageData(0, &body));
    if (c.header == 0) {
      EXPECT_EQ(file.data(), header);
      EXPECT_EQ(0u, file.BytesFrom(body)) << "a header with no body left";
    } else {
      EXPECT_EQ(nullptr, header);
      EXPECT_EQ(nullptr, body);
    }
  }
}

TEST_F(FirmwareFileTest, OffsetReadersNeverReachPastTheLastByte) {
  std::vector<uint8_t> bytes = {'Q', 'X', 'F', 'X', 0x12, 0x34, 0x56, 0x78};
  FirmwareFile file(Write(bytes).c_str());
  EXPECT_EQ(0x5678, file.ReadU16BE(6));
  EXPECT_EQ(0x12345678u, file.ReadU32BE(4));
  EXPECT_EQ(kFileNoError, file.error());
  EXPECT_EQ(0, file.ReadU16BE(7));
  EXPECT_EQ(kFileInvalid, file.error());

  FirmwareFile other(Write(bytes).c_str());
  uint8_t digest[kImageDigestBytes] = {};
  EXPECT_EQ(kFileInvalid, other.ReadDigest(0, digest));
  EXPECT_EQ(0u, other.ReadU32BE(UINT64_MAX - 1)) << "no wrap-around";
  EXPECT_EQ(0.0f, other.ReadVersion(5));
}

// --- Decoding ----------------------------------------------------------------------

TEST_F(FirmwareFileTest, EveryHeaderFieldComesFromItsOwnOffset) {
  PackedImage image;
  image.intendedDevice = 0xA1B2C3D4;
  image.fwVersionBits = VersionBits(1.02f);
  image.version2Bits = VersionBits(0.89f);
  image.extraU16 = 0xBEEF;
  image.extraU32 = 0x0BADF00D;
  for (uint32_t i = 0; i < kImageDigestBytes; ++i) {
    image.shaA[i] = static_cast<uint8_t>(0xA0 + i);
    image.shaB[i] = static_cast<uint8_t>(0x10 + i);
  }
  image.body = GeneratedBody(5000, 3);
  PackOptions options;
  options.countGiven = true;
  options.imageCount = 0x0102;
  std::vector<uint8_t> bytes = PackFirmware({image}, options);
  // The layout as it lands in the file.
  EXPECT_EQ(0x51584658u, GetU32BE(bytes.data(), bytes.size(), 0));
  EXPECT_EQ(0xA1B2C3D4u, GetU32BE(bytes.data(), bytes.size(), 4));
  EXPECT_EQ(0xBEEF, GetU16BE(bytes.data(), bytes.size(), 16));
  EXPECT_EQ(0x0102, GetU16BE(bytes.data(), bytes.size(), 18));
  EXPECT_EQ(5000u, GetU32BE(bytes.data(), bytes.size(), 24));
  EXPECT_EQ(0x10, bytes[76]);
  EXPECT_EQ(0xA0, bytes[96]);
  EXPECT_EQ(image.body[0], bytes[128]);

  FirmwareFile file(Write(bytes).c_str());
  ImageInfo info;
  ASSERT_EQ(0, file.GetImageInfo(0, &info));
  EXPECT_EQ(0xA1B2C3D4u, info.intendedDevice);
  EXPECT_EQ(1.02f, info.fwVersion);
  EXPECT_EQ(0.89f, info.version2);
  EXPECT_EQ(0xBEEF, info.extraU16);
  EXPECT_EQ(5000u, info.imageBytes);
  EXPECT_EQ(0x0BADF00Du, info.extraU32);
  EXPECT_EQ(0, std::memcmp(image.shaA, info.shaA, kImageDigestBytes));
  EXPECT_EQ(0, std::memcmp(image.shaB, info.shaB, kImageDigestBytes));
  uint16_t count = 0;
  EXPECT_EQ(0, file.GetImageCount(&count));
  EXPECT_EQ(0x0102, count);
}

struct VersionCase {
  uint32_t bits;
  float expected;
};

TEST_F(FirmwareFileTest, VersionFieldsAboveOneThousandOrBelowZeroReadAsTwoBytes) {
  const VersionCase cases[] = {
      {VersionBits(1.5f), 1.5f},
      {VersionBits(0.0f), 0.0f},
      {VersionBits(1000.0f), 1000.0f},  // the limit itself is a float version
      {0x7F000117u, static_cast<float>(1 + 23 / 100.0)},
      {VersionBits(1000.5f), 32.0f},  // 44 7A 20 00
      {VersionBits(-2.0f), 0.0f},     // C0 00 00 00
      {0xC0000203u, static_cast<float>(2 + 3 / 100.0)},
      {0x7F800000u, 0.0f},  // +infinity: bytes 2 and 3 are 0
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.bits);
    uint8_t raw[4];
    PutU32BE(raw, 0, c.bits);
    EXPECT_EQ(c.expected, DecodeImageVersion(raw));
    std::vector<PackedImage> images = TwoImages();
    images[0].fwVersionBits = c.bits;
    images[0].version2Bits = c.bits;
    FirmwareFile file(Write(PackFirmware(images, PackOptions())).c_str());
    ImageInfo info;
    ASSERT_EQ(0, file.GetImageInfo(0, &info));
    EXPECT_EQ(c.expected, info.fwVersion);
    EXPECT_EQ(c.expected, info.version2);
  }
  uint8_t nan[4];
  PutU32BE(nan, 0, 0x7FC00001u);
  EXPECT_TRUE(std::isnan(DecodeImageVersion(nan)));
}

// --- The upgrade file check ---------------------------------------------------------

TEST_F(FirmwareFileTest, TheFileCheckPassesAGoodFileAndIsFatalOtherwise) {
  TestContext context;
  CheckUpgradeFileAt(&context, Write(PackFirmware(TwoImages(), PackOptions())).c_str());
  EXPECT_EQ(kLevelPassed, context.EL);
  EXPECT_STREQ("No error", context.Msg);

  CheckUpgradeFileAt(&context, dir_.File("missing.bin").c_str());
  EXPECT_EQ(kLevelFatal, context.EL);
  EXPECT_STREQ("Could not find/open file", context.Msg);

  PackOptions cut;
  cut.truncateTo = 60;
  CheckUpgradeFileAt(&context, Write(PackFirmware(TwoImages(), cut), "cut.bin").c_str());
  EXPECT_EQ(kLevelFatal, context.EL);
  EXPECT_STREQ("File is invalid", context.Msg);

  struct stat st;
  if (::stat(kDefaultUpgradeFilePath, &st) != 0) {
    EXPECT_EQ(1u, CheckUpgradeFile(&context));
    EXPECT_EQ(kLevelFatal, context.EL);
    EXPECT_STREQ("Could not find/open file", context.Msg);
  }
}

}  // namespace
