#include "base/version.h"

#include "base/text.h"

const char* StationVersionText() {
  static const struct Text {
    Text() { TextFormat(chars, sizeof chars, "%0.02f", kStationVersion); }
    char chars[kPieceCapacity] = {};
  } text;
  return text.chars;
}
