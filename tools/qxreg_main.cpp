// qxreg: reads or writes one register of the device on USB, for bench work
// (for example setting the jig's source voltage before checking the meter).
#include <cstdio>
#include <cstring>
#include <string>

#include "base/cli.h"
#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/link_errors.h"
#include "device/registers.h"
#include "qxm/qxm.h"

namespace {

constexpr const char* kUsage =
    "usage: qxreg read ADDRESS u16|u32|f32\n"
    "       qxreg write ADDRESS u16|u32|f32 VALUE\n"
    "\n"
    "Reads or writes one register of the first device on USB\n"
    "(QXM_USB_ENDPOINT). Exit status: 0 done, 1 device error, 2 bad arguments.\n"
    "\n"
    "  --help, --version   this text, the version\n";

int Fail(const char* what, int code) {
  int exception = DeviceExceptionNumber(code);
  if (exception != 0) {
    std::fprintf(stderr, "qxreg: %s failed (%i): device exception %i\n", what, code, exception);
  } else {
    std::fprintf(stderr, "qxreg: %s failed (%i): %s\n", what, code, LinkErrorToString(code));
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  cli::Arguments args("qxreg", argc, argv);
  const char* words[4] = {};
  int count = 0;
  while (args.Next()) {
    if (args.HelpOrVersion(kUsage)) return cli::kExitOk;
    const char* word = nullptr;
    if (!args.Positional(&word)) return args.Unknown();
    if (count == 4) return args.Error(std::string("too many arguments: '") + word + "'");
    words[count++] = word;
  }
  if (args.failed()) return cli::kExitUsage;
  bool write = count == 4 && std::strcmp(words[0], "write") == 0;
  bool read = count == 3 && std::strcmp(words[0], "read") == 0;
  if (!write && !read) {
    return args.Error(count == 0 ? "nothing to do"
                                 : "expected read ADDRESS TYPE or write ADDRESS TYPE VALUE");
  }
  uint64_t address = 0;
  if (!cli::ParseUnsigned(words[1], 0xFFFF, &address)) {
    return args.Error(std::string("ADDRESS: '") + words[1] + "' is not a register number");
  }
  const char* type = words[2];
  if (std::strcmp(type, "u16") != 0 && std::strcmp(type, "u32") != 0 &&
      std::strcmp(type, "f32") != 0) {
    return args.Error(std::string("TYPE: '") + type + "' is not u16, u32 or f32");
  }
  uint64_t number = 0;
  float real = 0;
  if (write) {
    double d = 0;
    bool isFloat = std::strcmp(type, "f32") == 0;
    bool ok = isFloat ? cli::ParseReal(words[3], &d)
                      : cli::ParseUnsigned(
                            words[3], std::strcmp(type, "u16") == 0 ? 0xFFFF : 0xFFFFFFFF, &number);
    if (!ok) return args.Error(std::string("VALUE: '") + words[3] + "' does not fit " + type);
    real = static_cast<float>(d);
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
    if (code != 0) {
      result = Fail("write", code);
    } else {
      // The value as it went to the device, formatted as a read shows it.
      if (std::strcmp(type, "f32") == 0) {
        std::printf("register %i set to %g (f32)\n", a, static_cast<double>(real));
      } else {
        std::printf("register %i set to %llu (%s)\n", a, static_cast<unsigned long long>(number),
                    type);
      }
    }
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
