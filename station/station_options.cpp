#include "station/station_options.h"

#include "base/text.h"
#include "harness/mask_bits.h"
#include "harness/selection.h"

namespace {

constexpr size_t kOptionColumn = 21;
// The mask bits' and the stations' texts start here.
constexpr size_t kMaskColumn = 12;
constexpr size_t kStationColumn = 25;
constexpr size_t kLineWidth = 79;

std::string Hex(uint32_t mask) {
  char text[kPieceCapacity];
  TextFormat(text, sizeof text, "0x%X", static_cast<unsigned>(mask));
  return text;
}

std::string StationNames() {
  std::string names;
  for (const NamedStation* s = kNamedStations; s->name != nullptr; ++s) {
    names += std::string(names.empty() ? "" : ", ") + s->name;
  }
  return names;
}

// The --add-test help: the tests no mask selects, wrapped under the column.
std::string AddTestHelp() {
  std::string extra;
  for (const ExtraTest* row = kExtraTests; row->test != nullptr; ++row) {
    extra += std::string(extra.empty() ? "" : ", ") + row->name;
  }
  std::string help = "run this test after the selected ones (repeatable);\n";
  std::string last = "tests that no mask selects: ";
  help += last;
  cli::AppendWrapped(&help, extra, last.size(), kLineWidth - kOptionColumn);
  return help;
}

std::string MaskBitsHelp() {
  const struct {
    uint32_t bit;
    std::string text;
  } bits[] = {
      {kMaskUsbCheck, "device opening and identity only"},
      {kMaskProduction,
       "full production station (supply, clock, versions, settings, name,\n"
       "temperature, Ethernet, noise, serial number and MAC)"},
      {kMaskNoJig, "station without jig (adds the DIO short test)"},
      {kMaskJig, "test jig present (jig info, Vmux, DAC, DIO jig test; drops the\nDIO short test)"},
      {kMaskReports, "test server present (connection and result upload)"},
      {kMaskCalibration, "calibration: with " + Hex(kMaskJig) + " runs Calibrate, with " +
                             Hex(kMaskJig | kMaskReports) + " also\nreports the constants"},
      {kMaskRestoreSettings, "Startup DAQ Settings option"},
      {kMaskMaySerialize, "Serial Number option: take a new number from the server"},
      {kMaskMayUpdateMac, "Ethernet MAC option: take a new MAC from the server"},
      {kMaskSetClock, "System Time option"},
  };
  std::string text = "Station mask bits:\n";
  for (const auto& b : bits) cli::AppendHelpLine(&text, Hex(b.bit), b.text, kMaskColumn);
  return text;
}

std::string StationsHelp() {
  std::string text = "Stations:\n";
  for (const NamedStation* s = kNamedStations; s->name != nullptr; ++s) {
    char label[kTextCapacity];
    TextFormat(label, sizeof label, "%-12s %s", s->name, Hex(s->mask).c_str());
    std::string description;
    cli::AppendWrapped(&description, s->description, 0, kLineWidth - kStationColumn);
    cli::AppendHelpLine(&text, label, description, kStationColumn);
  }
  return text;
}

void AddSelectionOptions(cli::OptionTable* table, StationOptions* o) {
  table->Option("--station NAME", "a named station (below)", [o](cli::Value& v) {
    o->station = FindStation(v.text());
    if (o->station != nullptr) return true;
    std::string expected = "a station (" + StationNames() + ")";
    return v.Refuse(cli::IsNot(expected.c_str()));
  });
  table->Option("--mask MASK", "station mask, decimal or 0x hexadecimal", [o](cli::Value& v) {
    o->haveMask = true;
    return cli::Whole(&o->mask, 0xFFFFFFFF, cli::IsNot("a 32-bit number"))(v);
  });
  table->Flag("--list", "print the tests that would run, in order; run none",
              cli::Set(&o->list, true));
  table->Flag("--force",
              "run a mask that selects no test or does not open the\n"
              "device first, or without the meter or test server that\nits tests need",
              cli::Set(&o->force, true));
}

}  // namespace

void AddStationOptions(cli::OptionTable* table, StationOptions* o) {
  AddSelectionOptions(table, o);
  table->Option("--record DIR", "after the run, write its record (JSON) into DIR",
                cli::Text(&o->recordDir, cli::IsNot("a directory")));
  table->Option("--junit FILE", "after the run, write it as JUnit XML to FILE",
                cli::Text(&o->junitFile, cli::IsNot("a file name")));
  table->Option("--add-test NAME", AddTestHelp(), [o](cli::Value& v) {
    const ExtraTest* extra = FindExtraTest(kExtraTests, v.text());
    if (extra == nullptr) return v.Refuse(cli::IsNot("a test that --help lists"));
    if (o->addedCount == kMaxTests) return v.Refuse(std::string("too many --add-test"));
    o->added[o->addedCount++] = extra;
    return true;
  });
  table->Flag("--quiet", "print no report", cli::Set(&o->quiet, true));
  table->Option("--device-type N", "device-type code (default 2, the Z5)",
                cli::Whole(&o->deviceType, 0xFFFFFFFF, cli::IsNot("a number")));
}

std::string StationUsage(const cli::OptionTable& table) {
  return "usage: qxstation (--station NAME | --mask MASK) [options]\n"
         "\n"
         "Runs the production tests of a station against the device on USB and\n"
         "prints the report. Exit status: 0 passed, 1 failed, 2 refused or bad\n"
         "arguments, 130 or 143 stopped by an interrupt or a terminate request (the\n"
         "page being written is finished first; the records are written).\n"
         "\n" +
         table.Help() +
         "\n"
         "Options take their value as --opt VALUE or --opt=VALUE.\n"
         "\n" +
         MaskBitsHelp() + "\n" + StationsHelp();
}

int ParseStationOptions(int argc, char** argv, StationOptions* o) {
  static const char* const kProgram = "qxstation";
  cli::OptionTable table(kOptionColumn);
  AddStationOptions(&table, o);
  int status = table.Parse(kProgram, argc, argv, StationUsage(table));
  if (status >= 0) return status;
  if (o->station != nullptr && o->haveMask) {
    return cli::UsageError(kProgram, "--station and --mask both given: give one of them");
  }
  if (o->station == nullptr && !o->haveMask) {
    return cli::UsageError(kProgram, "give --station or --mask");
  }
  if (o->station != nullptr) o->mask = o->station->mask;
  if (FindDeviceType(kDeviceTypes, o->deviceType) == nullptr) {
    return cli::UsageError(kProgram,
                           "no test list for device type " + std::to_string(o->deviceType));
  }
  return -1;
}
