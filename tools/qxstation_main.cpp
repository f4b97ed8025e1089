// qxstation: the station front end. Builds the test harness for a device type
// and a station mask, runs it and shows the report.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "harness/harness.h"
#include "harness/station_table.h"

namespace {

constexpr int kExitPassed = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void PrintUsage(FILE* out) {
  std::fputs(
      "usage: qxstation --mask MASK [--quiet] [--device-type N] [--add-test NAME]...\n"
      "\n"
      "Runs the production tests that MASK selects against the device on USB and\n"
      "prints the report. Exit status: 0 passed, 1 failed, 2 bad arguments.\n"
      "\n"
      "  --mask MASK        station mask, decimal or 0x hexadecimal\n"
      "  --quiet            print no report\n"
      "  --device-type N    device-type code (default 2, the Z5)\n"
      "  --add-test NAME    run this test after the selected ones (repeatable);\n"
      "                     tests that no mask selects: AccuracyCheck, CounterTest,\n"
      "                     CheckUpgradeFile, NotImplementedTest\n"
      "  --help             this text\n"
      "\n"
      "Station mask bits:\n"
      "  0x400     device opening and identity only\n"
      "  0x40000   full production station (supply, clock, versions, settings, name,\n"
      "            temperature, Ethernet, noise, serial number and MAC)\n"
      "  0x800000  station without jig (adds the DIO short test)\n"
      "  0x20000   test jig present (jig info, Vmux, DAC, DIO jig test; drops the\n"
      "            DIO short test)\n"
      "  0x10000   test server present (connection and result upload)\n"
      "  0x80      calibration: with 0x20000 runs Calibrate, with 0x30000 also\n"
      "            reports the constants\n"
      "  0x20      Startup DAQ Settings option\n"
      "  0x40      Serial Number option: take a new number from the server\n"
      "  0x100     Ethernet MAC option: take a new MAC from the server\n"
      "  0x1000    System Time option\n",
      out);
}

// A whole number in decimal or 0x hexadecimal that fits 32 bits.
bool ParseNumber(const char* text, unsigned long* value) {
  if (text == nullptr || *text == '\0' || *text == '-' || *text == '+') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || v > 0xFFFFFFFFull) return false;
  *value = static_cast<unsigned long>(v);
  return true;
}

int Usage(const char* problem) {
  std::fprintf(stderr, "qxstation: %s\n\n", problem);
  PrintUsage(stderr);
  return kExitUsage;
}

// An --add-test name that no extra test carries: the known ones on stderr.
int UnknownTest(const char* name) {
  std::fprintf(stderr, "qxstation: --add-test: unknown test \"%s\"; known tests:\n", name);
  for (const ExtraTest* row = kExtraTests; row->test != nullptr; ++row) {
    std::fprintf(stderr, "  %s\n", row->name);
  }
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  unsigned long mask = 0;
  unsigned long deviceType = kZ5DeviceType;
  bool haveMask = false;
  bool quiet = false;
  const ExtraTest* added[kMaxTests] = {};
  uint32_t addedCount = 0;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      PrintUsage(stdout);
      return kExitPassed;
    }
    if (std::strcmp(arg, "--quiet") == 0) {
      quiet = true;
    } else if (std::strcmp(arg, "--mask") == 0) {
      if (i + 1 >= argc || !ParseNumber(argv[++i], &mask)) return Usage("--mask needs a number");
      haveMask = true;
    } else if (std::strcmp(arg, "--device-type") == 0) {
      if (i + 1 >= argc || !ParseNumber(argv[++i], &deviceType)) {
        return Usage("--device-type needs a number");
      }
    } else if (std::strcmp(arg, "--add-test") == 0) {
      if (i + 1 >= argc) return Usage("--add-test needs a test name");
      const char* name = argv[++i];
      const ExtraTest* extra = FindExtraTest(kExtraTests, name);
      if (extra == nullptr) return UnknownTest(name);
      if (addedCount == kMaxTests) return Usage("too many --add-test");
      added[addedCount++] = extra;
    } else {
      return Usage("unknown argument");
    }
  }
  if (!haveMask) return Usage("--mask is required");
  if (FindDeviceType(kDeviceTypes, static_cast<uint32_t>(deviceType)) == nullptr) {
    return Usage("no test list for this device type");
  }

  TestHarness harness(static_cast<uint32_t>(deviceType), static_cast<uint32_t>(mask),
                      quiet ? 1u : 0u);
  for (uint32_t i = 0; i < addedCount; ++i) {
    if (!harness.AppendTest(added[i]->name, added[i]->test)) {
      std::fprintf(stderr, "qxstation: the test list is full: %s not added\n", added[i]->name);
      return kExitUsage;
    }
  }
  harness.Run();
  return harness.passed() ? kExitPassed : kExitFailed;
}
