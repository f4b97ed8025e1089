// qxrecords: writes a made-up line's records (schema version 2) into a
// folder, as the stations would: for qxline's tests, its benchmark and the
// line's demo without a bench.
#include <cstdio>
#include <string>

#include "base/cli.h"
#include "line/record_generator.h"
#include "platform/file.h"
#include "platform/file_system.h"

int main(int argc, char** argv) {
  line::LineSpec spec;
  std::string dir;
  bool noUpgrades = false, noFinal = false;
  cli::OptionTable table(22);
  table.Option("--out DIR", "the folder to write into (made when missing; required)",
               cli::Text(&dir, cli::IsNot("a folder")));
  table.Option("--devices N", "devices through the line (default 20)",
               cli::Whole(&spec.devices, 10000000, cli::IsNot("a number in 1..10000000"), 1));
  table.Option("--seed N", "the seed (default 1)",
               cli::Whole(&spec.seed, UINT64_MAX, cli::IsNot("a number")));
  table.Option("--records N", "stop after this many records",
               cli::Whole(&spec.maxRecords, UINT64_MAX, cli::IsNot("a number")));
  table.Flag("--no-upgrades", "no qxtest upgrade records", cli::Set(&noUpgrades, true));
  table.Flag("--no-final", "no final station", cli::Set(&noFinal, true));
  const std::string usage =
      "usage: qxrecords --out DIR [options]\n"
      "\n"
      "Writes the records of a made-up line into DIR: an upgrade, the calibration\n"
      "station (about 150 measurements a run) and the final station for each device, with\n"
      "device faults and retests, dropped links, aborted runs, runs without a serial number,\n"
      "a drifting supply reading and one device whose constants are far from the rest.\n"
      "The same seed gives the same records.\n"
      "\n" +
      table.Help() + "\nOptions take their value as --opt VALUE or --opt=VALUE.\n";
  int status = table.Parse("qxrecords", argc, argv, usage);
  if (status >= 0) return status;
  if (dir.empty()) return cli::UsageError("qxrecords", "--out is required");
  spec.upgrades = !noUpgrades;
  spec.finalStation = !noFinal;
  if (platform::MakeDirectory(dir.c_str()) != 0) {
    std::fprintf(stderr, "qxrecords: %s: cannot make the folder\n", dir.c_str());
    return cli::kExitFailed;
  }
  line::LineGenerator generator(spec);
  std::string name, json;
  uint64_t written = 0;
  while (generator.Next(&name, &json)) {
    std::string path = dir + "/" + name;
    // No sync: the records are for a test or a demo on this machine.
    if (platform::WriteFileAtomically(path.c_str(), json.data(), json.size(), nullptr, false) !=
        0) {
      std::fprintf(stderr, "qxrecords: %s: cannot be written\n", path.c_str());
      return cli::kExitFailed;
    }
    ++written;
  }
  std::printf("wrote %llu records to %s\n", static_cast<unsigned long long>(written), dir.c_str());
  return cli::kExitOk;
}
