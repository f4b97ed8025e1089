#include "base/utc_time.h"

#include "base/text.h"

std::string UtcText(int64_t seconds) {
  // Days to a civil date in the proleptic Gregorian calendar (H. Hinnant's
  // algorithm), so no C library time zone state is involved.
  int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  int64_t rest = seconds - days * 86400;
  int64_t z = days + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t day = doy - (153 * mp + 2) / 5 + 1;
  int64_t month = mp < 10 ? mp + 3 : mp - 9;
  int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[kPieceCapacity];
  TextFormat(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
             static_cast<long long>(year), static_cast<long long>(month),
             static_cast<long long>(day), static_cast<long long>(rest / 3600),
             static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

std::string UtcMsText(int64_t ms) {
  int64_t seconds = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
  char fraction[8];
  TextFormat(fraction, sizeof fraction, ".%03dZ", static_cast<int>(ms - seconds * 1000));
  std::string text = UtcText(seconds);
  text.pop_back();
  return text + fraction;
}
