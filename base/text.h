// Bounded text helpers. Every fixed-capacity text of the station goes through
// these: they always terminate and never write past the field, cutting an
// over-long text at the field's capacity.
#pragma once

#include <cstddef>

// Field capacities, terminator included.
constexpr size_t kTextCapacity = 200;   // Msg, details, report lines
constexpr size_t kNoteCapacity = 1024;  // station note
constexpr size_t kPieceCapacity = 50;   // formatted number pieces, device name

// Copies src into dst (capacity cap); returns the length written.
size_t TextCopy(char* dst, size_t cap, const char* src);
// Appends src to the text in dst (capacity cap); returns the new length.
size_t TextAppend(char* dst, size_t cap, const char* src);
// printf-style formatting into dst (capacity cap); returns the length written.
size_t TextFormat(char* dst, size_t cap, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Text from outside (the device, the server, the meter) made safe where it
// goes: appends src to the text in dst like TextAppend, but every byte that
// is not printable ASCII, and every character of reserved (a destination's
// separators; may be null), is written as a visible escape: \r, \n, \t or
// \xHH. Printable text is copied unchanged. An escape is never cut in two.
// Returns the new length; *cut (may be null) tells whether anything was left out.
size_t TextAppendEscaped(char* dst, size_t cap, const char* src, const char* reserved,
                         bool* cut = nullptr);
// Room for any text of a field of capacity cap once escaped.
constexpr size_t EscapedCapacity(size_t cap) { return 4 * (cap - 1) + 1; }

template <size_t N>
inline size_t TextCopy(char (&dst)[N], const char* src) {
  return TextCopy(dst, N, src);
}
template <size_t N>
inline size_t TextAppend(char (&dst)[N], const char* src) {
  return TextAppend(dst, N, src);
}
