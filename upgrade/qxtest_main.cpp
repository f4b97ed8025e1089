// qxtest: the station's firmware upgrade console. Opens the first device on
// USB, asks for the path of an upgrade file and writes its image 0.
#include <cstring>

#include "base/cli.h"
#include "upgrade/firmware_file.h"
#include "upgrade/run_upgrade.h"

namespace {

constexpr const char* kUsage =
    "usage: qxtest [--file PATH] [--no-wait]\n"
    "\n"
    "Writes image 0 of a firmware upgrade file into the first device on USB\n"
    "(QXM_USB_ENDPOINT), restarts it and shows its versions. Without options it\n"
    "asks for the path and waits for a key at the end. Exit status: 0 upgrade\n"
    "completed, 1 upgrade failed, 2 bad arguments.\n"
    "\n"
    "  --file PATH        the upgrade file; no prompt\n"
    "  --no-wait          end without waiting for a key\n"
    "  --help, --version  this text, the version\n";

}  // namespace

int main(int argc, char** argv) {
  QxtestOptions options;
  cli::Arguments args("qxtest", argc, argv);
  while (args.Next()) {
    if (args.HelpOrVersion(kUsage)) return cli::kExitOk;
    const char* value = nullptr;
    if (args.Option("--file", &value)) {
      // Refused rather than cut: a cut path could name another file.
      if (*value == '\0' || std::strlen(value) >= kFirmwarePathCapacity) {
        return args.BadValue("a usable path");
      }
      options.path = value;
    } else if (args.Flag("--no-wait")) {
      options.noWait = true;
    } else {
      return args.Unknown();
    }
  }
  if (args.failed()) return cli::kExitUsage;
  return QxtestEntry(options);
}
