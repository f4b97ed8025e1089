// What every system shares about serial ports: where a COM port name leads.
#include "platform/serial.h"

#include <cstring>

#include "platform/settings.h"
#include "platform/status.h"

namespace platform {

namespace {

// "COM1".."COM8" -> "QX_COM1".."QX_COM8"; false for any other name.
bool SettingName(const char* comName, char (&name)[8]) {
  if (comName == nullptr || std::strncmp(comName, "COM", 3) != 0) return false;
  if (comName[3] < '1' || comName[3] > '8' || comName[4] != '\0') return false;
  std::memcpy(name, "QX_COM", 6);
  name[6] = comName[3];
  name[7] = '\0';
  return true;
}

}  // namespace

int SerialPortPath(const char* comName, char* path, size_t capacity) {
  if (path == nullptr || capacity == 0) return kBadArgument;
  path[0] = '\0';
  char name[8];
  if (!SettingName(comName, name)) return kNotFound;
  const char* found = Setting(name);
  size_t length = std::strlen(found);
  if (length == 0) return kNotFound;
  if (length >= capacity) return kBadAddress;
  std::memcpy(path, found, length + 1);
  return kOk;
}

}  // namespace platform
