// qxfwpack: builds a firmware upgrade file from a body file or generated
// content. Options can also make bad files on purpose (another device, a
// lying image count or length, a chain pointing anywhere, a cut-off file), so
// that users and tests can try the upgrade's refusals.
#include <string>

#include "base/cli.h"
#include "fwpack/pack_command.h"

int main(int argc, char** argv) {
  PackCommand command;
  cli::OptionTable table(26);
  AddPackOptions(&table, &command);
  const std::string usage =
      "usage: qxfwpack -o FILE (--body FILE | --generate BYTES) [options]\n"
      "\n"
      "Writes a firmware upgrade file: image 0 from the body given, and with\n"
      "--chain N, N further generated images chained after it.\n"
      "\n" +
      table.Help() +
      "\n"
      "Options take their value as --opt VALUE or --opt=VALUE. Exit status: 0 file\n"
      "written, 1 could not write it, 2 bad arguments.\n";
  int status = table.Parse("qxfwpack", argc, argv, usage);
  if (status >= 0) return status;
  std::string problem = CheckPackCommand(command);
  if (!problem.empty()) return cli::UsageError("qxfwpack", problem);
  return WritePack(command);
}
