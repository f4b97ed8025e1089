// One register of the device on USB, read or written from a command line, as
// qxreg does it for bench work: the words checked, the access made, the value
// or the failure shown (the value on standard output, a failure on standard
// error).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct RegisterCommand {
  bool write = false;
  int address = 0;
  std::string type;     // "u16", "u32" or "f32"
  uint64_t number = 0;  // the value of a u16 or u32 write
  float real = 0;       // the value of an f32 write
};

// Reads "read ADDRESS TYPE" or "write ADDRESS TYPE VALUE" into *command;
// "" when the words are good, else the problem in one line.
std::string ParseRegisterCommand(const std::vector<std::string>& words, RegisterCommand* command);
// Opens the first device on USB and does it; 0 done, 1 device error.
int RunRegisterCommand(const RegisterCommand& command);
