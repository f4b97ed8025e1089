// The station's status codes: a code it chose means one thing wherever it
// shows, and the device-access library's codes all lie where the table says.
#include <gtest/gtest.h>

#include <cstring>

#include "base/status_codes.h"
#include "qxm/qxm.h"

namespace {

TEST(StatusCodes, NoCodeTheStationChoseSharesItsNumber) {
  for (size_t i = 0; i < kStatusCodeCount; ++i) {
    const StatusCode& a = kStatusCodes[i];
    SCOPED_TRACE(a.text);
    EXPECT_LE(a.first, a.last);
    EXPECT_GT(std::strlen(a.text), 0u);
    for (size_t j = i + 1; j < kStatusCodeCount; ++j) {
      const StatusCode& b = kStatusCodes[j];
      if (a.last < b.first || b.last < a.first) continue;
      EXPECT_NE(a.family, b.family)
          << "two meanings of " << b.first << " in one family: " << b.text;
      EXPECT_TRUE(a.owner == StatusOwner::kFixed && b.owner == StatusOwner::kFixed)
          << "a code of the station's own shares its number with: " << b.text;
    }
  }
}

TEST(StatusCodes, EveryLibraryCodeIsInTheTable) {
  for (int code = 1; code < 20000; ++code) {
    if (std::strcmp(QXM_ErrorToString(code), "unknown code") == 0) continue;
    EXPECT_NE(FindStatusCode(StatusFamily::kDeviceLibrary, code), nullptr) << code;
  }
}

}  // namespace
