// qxfwpack's work: a firmware upgrade file built as its command line says,
// image 0 from a body file or generated content and generated images
// chained after it, with the options that make bad files on purpose.
#pragma once

#include <cstdint>
#include <string>

#include "base/cli.h"
#include "fwpack/firmware_pack.h"

struct PackCommand {
  std::string output;
  std::string bodyPath;
  bool generate = false;
  uint64_t generateBytes = 0;
  uint64_t seed = 1;
  uint64_t chain = 0;
  uint64_t chainBytes = 4096;
  PackedImage first;
  PackOptions options;
  PackCommand();
};

// Declares qxfwpack's options into table, each setting its part of *command.
void AddPackOptions(cli::OptionTable* table, PackCommand* command);
// "" when the command is complete, else what is missing.
std::string CheckPackCommand(const PackCommand& command);
// Builds and writes the file, naming it on standard output; 0, 1 when it
// cannot be written, 2 when the body cannot be read (the problem named on
// standard error).
int WritePack(const PackCommand& command);
