// qxreg: reads or writes one register of the device on USB, for bench work
// (for example setting the jig's source voltage before checking the meter).
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/link_errors.h"
#include "device/registers.h"
#include "qxm/qxm.h"

namespace {

void PrintUsage(FILE* out) {
  std::fputs(
      "usage: qxreg read ADDRESS u16|u32|f32\n"
      "       qxreg write ADDRESS u16|u32|f32 VALUE\n"
      "\n"
      "Reads or writes one register of the first device on USB\n"
      "(QXM_USB_ENDPOINT). Exit status: 0 done, 1 device error, 2 bad arguments.\n",
      out);
}

bool ParseUnsigned(const char* text, unsigned long max, unsigned long* value) {
  if (text == nullptr || *text == '\0' || *text == '-') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (errno != 0 || *end != '\0' || v > max) return false;
  *value = static_cast<unsigned long>(v);
  return true;
}

bool ParseFloat(const char* text, float* value) {
  if (text == nullptr || *text == '\0') return false;
  errno = 0;
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (errno != 0 || *end != '\0') return false;
  *value = static_cast<float>(v);
  return true;
}

int Usage() {
  PrintUsage(stderr);
  return 2;
}

int Fail(const char* what, int code) {
  std::fprintf(stderr, "qxreg: %s failed (%i): %s\n", what, code, LinkErrorToString(code));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    PrintUsage(stdout);
    return 0;
  }
  bool write = argc == 5 && std::strcmp(argv[1], "write") == 0;
  bool read = argc == 4 && std::strcmp(argv[1], "read") == 0;
  if (!write && !read) return Usage();
  unsigned long address = 0;
  if (!ParseUnsigned(argv[2], 0xFFFF, &address)) return Usage();
  const char* type = argv[3];
  if (std::strcmp(type, "u16") != 0 && std::strcmp(type, "u32") != 0 &&
      std::strcmp(type, "f32") != 0) {
    return Usage();
  }
  unsigned long number = 0;
  float real = 0;
  if (write) {
    bool ok =
        std::strcmp(type, "f32") == 0
            ? ParseFloat(argv[4], &real)
            : ParseUnsigned(argv[4], std::strcmp(type, "u16") == 0 ? 0xFFFF : 0xFFFFFFFF, &number);
    if (!ok) return Usage();
  }

  int handle = 0;
  int code = QXM_Open("z5 device type", "usb", "any identifier", &handle);
  if (code != 0) return Fail("open", code);
  int a = static_cast<int>(address);
  int result = 0;
  if (write) {
    if (std::strcmp(type, "f32") == 0) {
      code = WriteFloat(handle, a, real);
    } else if (std::strcmp(type, "u32") == 0) {
      code = WriteU32(handle, a, static_cast<uint32_t>(number));
    } else {
      code = WriteU16(handle, a, static_cast<uint16_t>(number));
    }
    if (code != 0) result = Fail("write", code);
  } else if (std::strcmp(type, "f32") == 0) {
    code = ReadFloat(handle, a, &real);
    if (code != 0) {
      result = Fail("read", code);
    } else {
      std::printf("%g\n", static_cast<double>(real));
    }
  } else if (std::strcmp(type, "u32") == 0) {
    uint32_t value = 0;
    code = ReadU32(handle, a, &value);
    if (code != 0) {
      result = Fail("read", code);
    } else {
      std::printf("%lu\n", static_cast<unsigned long>(value));
    }
  } else {
    FeedbackFrame frame(FrameDirection::Read, static_cast<uint32_t>(a), 1, FrameDataType::U16);
    code = FeedbackExchange(handle, 1, &frame);
    if (code != 0) {
      result = Fail("read", code);
    } else {
      std::printf("%u\n", static_cast<unsigned>(frame.U16(0)));
    }
  }
  QXM_Close(handle);
  return result;
}
