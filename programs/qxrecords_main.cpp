// qxrecords: writes a made-up line's records (schema version 2) into a
// folder, as the stations would: for qxline's tests, its benchmark and the
// line's demo without a bench.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <string>

#include "line/record_generator.h"
#include "platform/file.h"
#include "platform/file_system.h"
#include "tools/cli.h"

int main(int argc, char** argv) {
  CLI::App app{
      "qxrecords: writes the records of a made-up line into DIR: an upgrade, the calibration\n"
      "station (about 150 measurements a run) and the final station for each device, with\n"
      "device faults and retests, dropped links, aborted runs, runs without a serial number,\n"
      "a drifting supply reading and one device whose constants are far from the rest.\n"
      "The same seed gives the same records.",
      "qxrecords"};
  app.set_version_flag("--version", std::string("qxrecords (QXTest) ") + cli::kVersion);
  line::LineSpec spec;
  std::string dir;
  bool noUpgrades = false, noFinal = false;
  app.add_option("--out", dir, "the folder to write into (made when missing)")->required();
  app.add_option("--devices", spec.devices, "devices through the line (default 20)")
      ->check(CLI::Range(1u, 10000000u));
  app.add_option("--seed", spec.seed, "the seed (default 1)");
  app.add_option("--records", spec.maxRecords, "stop after this many records");
  app.add_flag("--no-upgrades", noUpgrades, "no qxtest upgrade records")->disable_flag_override();
  app.add_flag("--no-final", noFinal, "no final station")->disable_flag_override();
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return cli::kExitOk;
  } catch (const CLI::CallForVersion& e) {
    std::cout << e.what() << "\n";
    return cli::kExitOk;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "qxrecords: %s (see qxrecords --help)\n", e.what());
    return cli::kExitUsage;
  }
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
