#include "upgrade/upgrade_console.h"

#include <cstring>

#include "platform/console.h"

void ConsoleText(const char* text) {
  if (text == nullptr) return;
  platform::ConsoleWrite(text, std::strlen(text));
}
