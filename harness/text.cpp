#include "harness/text.h"

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
