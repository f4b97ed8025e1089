// qxtest: the station's firmware upgrade console. Opens the first device on
// USB, asks for the path of an upgrade file and writes its image 0.
#include <cstdio>
#include <string>

#include "base/cli.h"
#include "platform/status.h"
#include "station/upgrade_record.h"
#include "upgrade/firmware_file.h"
#include "upgrade/run_upgrade.h"

int main(int argc, char** argv) {
  std::string path;
  QxtestOptions options;
  cli::OptionTable table(21);
  table.Option("--file PATH", "the upgrade file; no prompt", [&](cli::Value& v) {
    // Refused rather than cut: a cut path could name another file.
    if (v.string().empty() || v.string().size() >= kFirmwarePathCapacity) {
      return v.Refuse(cli::IsNot("a usable path"));
    }
    path = v.string();
    options.path = path.c_str();
    return true;
  });
  table.Flag("--no-wait", "end without waiting for a key", cli::Set(&options.noWait, true));
  std::string recordDir;  // empty: no record
  table.Option("--record DIR", "after the upgrade, write its record (JSON) into DIR",
               cli::Text(&recordDir, cli::IsNot("a folder")));
  const std::string usage =
      "usage: qxtest [--file PATH] [--no-wait] [--record DIR]\n"
      "\n"
      "Writes image 0 of a firmware upgrade file into the first device on USB\n"
      "(QXM_USB_ENDPOINT), restarts it and shows its versions. Without options it\n"
      "asks for the path and waits for a key at the end. Exit status: 0 upgrade\n"
      "completed, 1 upgrade failed, 2 bad arguments.\n"
      "\n" +
      table.Help();
  int status = table.Parse("qxtest", argc, argv, usage);
  if (status >= 0) return status;
  if (recordDir.empty()) return QxtestEntry(options);
  // Tried before the device is touched: an upgrade must not end without its record.
  if (!cli::RecordFolderUsable("qxtest", "--record", recordDir.c_str())) return cli::kExitUsage;
  UpgradeOutcome outcome;
  options.outcome = &outcome;
  status = QxtestEntry(options);
  std::string recordPath;
  int osError = 0;
  int written = WriteUpgradeRecord(recordDir, outcome, &recordPath, &osError);
  if (written != platform::kOk) {
    std::fprintf(stderr, "qxtest: could not write %s: %s\n", recordPath.c_str(),
                 cli::FileReason(written, osError).c_str());
    return cli::kExitFailed;
  }
  return status;
}
