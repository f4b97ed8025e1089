// qxreg: reads or writes one register of the device on USB, for bench work
// (for example setting the jig's source voltage before checking the meter).
#include <string>
#include <vector>

#include "base/cli.h"
#include "device/register_tool.h"

int main(int argc, char** argv) {
  std::vector<std::string> words;
  cli::OptionTable table(22);
  table.Positionals([&words](cli::Value& v) {
    if (words.size() == 4) return v.Refuse("too many arguments: '" + v.string() + "'");
    words.push_back(v.string());
    return true;
  });
  const std::string usage =
      "usage: qxreg read ADDRESS u16|u32|f32\n"
      "       qxreg write ADDRESS u16|u32|f32 VALUE\n"
      "\n"
      "Reads or writes one register of the first device on USB\n"
      "(QXM_USB_ENDPOINT). Exit status: 0 done, 1 device error, 2 bad arguments.\n"
      "\n" +
      table.Help();
  int status = table.Parse("qxreg", argc, argv, usage);
  if (status >= 0) return status;
  RegisterCommand command;
  std::string problem = ParseRegisterCommand(words, &command);
  if (!problem.empty()) return cli::UsageError("qxreg", problem);
  return RunRegisterCommand(command);
}
