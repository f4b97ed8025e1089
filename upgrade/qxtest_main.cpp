// qxtest: the station's firmware upgrade console. Opens the first device on
// USB, asks for the path of an upgrade file and writes its image 0.
#include <cstdio>
#include <cstring>
#include <string>

#include "harness/upgrade_record.h"
#include "platform/status.h"
#include "tools/cli.h"
#include "upgrade/firmware_file.h"
#include "upgrade/run_upgrade.h"

namespace {

constexpr const char* kUsage =
    "usage: qxtest [--file PATH] [--no-wait] [--record DIR]\n"
    "\n"
    "Writes image 0 of a firmware upgrade file into the first device on USB\n"
    "(QXM_USB_ENDPOINT), restarts it and shows its versions. Without options it\n"
    "asks for the path and waits for a key at the end. Exit status: 0 upgrade\n"
    "completed, 1 upgrade failed, 2 bad arguments.\n"
    "\n"
    "  --file PATH        the upgrade file; no prompt\n"
    "  --no-wait          end without waiting for a key\n"
    "  --record DIR       after the upgrade, write its record (JSON) into DIR\n"
    "  --help, --version  this text, the version\n";

}  // namespace

int main(int argc, char** argv) {
  QxtestOptions options;
  std::string recordDir;  // empty: no record
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
    } else if (args.Option("--record", &value)) {
      if (*value == '\0') return args.BadValue("a folder");
      recordDir = value;
    } else if (args.Flag("--no-wait")) {
      options.noWait = true;
    } else {
      return args.Unknown();
    }
  }
  if (args.failed()) return cli::kExitUsage;
  // Tried before the device is touched: an upgrade must not end without its record.
  if (!recordDir.empty() && !cli::RecordFolderUsable("qxtest", "--record", recordDir.c_str())) {
    return cli::kExitUsage;
  }
  UpgradeOutcome outcome;
  if (!recordDir.empty()) options.outcome = &outcome;
  int status = QxtestEntry(options);
  if (!recordDir.empty()) {
    std::string path;
    int osError = 0;
    int written = WriteUpgradeRecord(recordDir, outcome, &path, &osError);
    if (written != platform::kOk) {
      std::fprintf(stderr, "qxtest: could not write %s: %s\n", path.c_str(),
                   cli::FileReason(written, osError).c_str());
      return cli::kExitFailed;
    }
  }
  return status;
}
