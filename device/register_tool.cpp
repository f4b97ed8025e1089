#include "device/register_tool.h"

#include <cstdio>

#include "base/cli.h"
#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/link_errors.h"
#include "device/registers.h"
#include "qxm/qxm.h"

namespace {

int Fail(const char* what, int code) {
  int exception = DeviceExceptionNumber(code);
  if (exception != 0) {
    std::fprintf(stderr, "qxreg: %s failed (%i): device exception %i\n", what, code, exception);
  } else {
    std::fprintf(stderr, "qxreg: %s failed (%i): %s\n", what, code, LinkErrorToString(code));
  }
  return 1;
}

int Write(int handle, const RegisterCommand& c) {
  int code = 0;
  if (c.type == "f32") {
    code = WriteFloat(handle, c.address, c.real);
  } else if (c.type == "u32") {
    code = WriteU32(handle, c.address, static_cast<uint32_t>(c.number));
  } else {
    code = WriteU16(handle, c.address, static_cast<uint16_t>(c.number));
  }
  if (code != 0) return Fail("write", code);
  // The value as it went to the device, formatted as a read shows it.
  if (c.type == "f32") {
    std::printf("register %i set to %g (f32)\n", c.address, static_cast<double>(c.real));
  } else {
    std::printf("register %i set to %llu (%s)\n", c.address,
                static_cast<unsigned long long>(c.number), c.type.c_str());
  }
  return 0;
}

int Read(int handle, const RegisterCommand& c) {
  int code = 0;
  if (c.type == "f32") {
    float real = 0;
    code = ReadFloat(handle, c.address, &real);
    if (code == 0) std::printf("%g\n", static_cast<double>(real));
  } else if (c.type == "u32") {
    uint32_t value = 0;
    code = ReadU32(handle, c.address, &value);
    if (code == 0) std::printf("%lu\n", static_cast<unsigned long>(value));
  } else {
    FeedbackFrame frame(FrameDirection::Read, static_cast<uint32_t>(c.address), 1,
                        FrameDataType::U16);
    code = FeedbackExchange(handle, 1, &frame);
    if (code == 0) std::printf("%u\n", static_cast<unsigned>(frame.U16(0)));
  }
  return code != 0 ? Fail("read", code) : 0;
}

}  // namespace

std::string ParseRegisterCommand(const std::vector<std::string>& words, RegisterCommand* c) {
  c->write = words.size() == 4 && words[0] == "write";
  bool read = words.size() == 3 && words[0] == "read";
  if (!c->write && !read) {
    return words.empty() ? "nothing to do"
                         : "expected read ADDRESS TYPE or write ADDRESS TYPE VALUE";
  }
  uint64_t address = 0;
  if (!cli::ParseUnsigned(words[1].c_str(), 0xFFFF, &address)) {
    return "ADDRESS: '" + words[1] + "' is not a register number";
  }
  c->address = static_cast<int>(address);
  c->type = words[2];
  if (c->type != "u16" && c->type != "u32" && c->type != "f32") {
    return "TYPE: '" + c->type + "' is not u16, u32 or f32";
  }
  if (!c->write) return "";
  double real = 0;
  bool ok = c->type == "f32"
                ? cli::ParseReal(words[3].c_str(), &real)
                : cli::ParseUnsigned(words[3].c_str(), c->type == "u16" ? 0xFFFF : 0xFFFFFFFF,
                                     &c->number);
  if (!ok) return "VALUE: '" + words[3] + "' does not fit " + c->type;
  c->real = static_cast<float>(real);
  return "";
}

int RunRegisterCommand(const RegisterCommand& command) {
  int handle = 0;
  int code = QXM_Open("z5 device type", "usb", "any identifier", &handle);
  if (code != 0) return Fail("open", code);
  int result = command.write ? Write(handle, command) : Read(handle, command);
  QXM_Close(handle);
  return result;
}
