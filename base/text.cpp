#include "base/text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

size_t TextCopy(char* dst, size_t cap, const char* src) {
  if (dst == nullptr || cap == 0) return 0;
  if (src == nullptr) src = "";
  size_t n = strnlen(src, cap - 1);
  memmove(dst, src, n);
  dst[n] = '\0';
  return n;
}

size_t TextAppend(char* dst, size_t cap, const char* src) {
  if (dst == nullptr || cap == 0) return 0;
  // A field that somehow lost its terminator is cut, not overrun.
  size_t have = strnlen(dst, cap);
  if (have >= cap) {
    dst[cap - 1] = '\0';
    return cap - 1;
  }
  return have + TextCopy(dst + have, cap - have, src);
}

size_t TextFormat(char* dst, size_t cap, const char* format, ...) {
  if (dst == nullptr || cap == 0) return 0;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(dst, cap, format, args);
  va_end(args);
  if (n < 0) {
    dst[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;
}

size_t TextAppendEscaped(char* dst, size_t cap, const char* src, const char* reserved, bool* cut) {
  if (cut != nullptr) *cut = false;
  if (dst == nullptr || cap == 0) return 0;
  size_t length = TextAppend(dst, cap, "");
  if (src == nullptr) return length;
  for (const char* p = src; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    char piece[5] = {static_cast<char>(c), '\0'};
    bool special = reserved != nullptr && std::strchr(reserved, c) != nullptr;
    if (c == '\r' || c == '\n' || c == '\t') {
      TextFormat(piece, sizeof piece, "\\%c", c == '\r' ? 'r' : c == '\n' ? 'n' : 't');
    } else if (c < 0x20 || c >= 0x7F || special) {
      TextFormat(piece, sizeof piece, "\\x%02X", c);
    }
    size_t n = std::strlen(piece);
    if (length + n >= cap) {
      if (cut != nullptr) *cut = true;
      break;
    }
    std::memcpy(dst + length, piece, n + 1);
    length += n;
  }
  return length;
}
