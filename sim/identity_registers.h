// The bench device's registers behind the identity and server-backed tests:
// the test jig's bus set-up and data blocks and its code lines, the device
// clock, and the serial-number and MAC registers, which follow the records of
// the configuration flash page.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace qxsim {

// Registers.
constexpr uint32_t kSimJigSetupRegister = 5200;  // 11 registers, written
constexpr uint32_t kSimJigSetupRegisters = 11;
constexpr uint32_t kSimJigDataRegister = 5300;  // 18 registers, read
constexpr uint32_t kSimJigDataRegisters = 18;
constexpr uint32_t kSimJigCodeLinesRegister = 2500;  // low 5 bits: the jig's code
constexpr uint32_t kSimClockRegister = 61500;        // u32 seconds, read
constexpr uint32_t kSimClockSetRegister = 61504;     // u32 seconds, written
constexpr uint32_t kSimMacRegister = 60020;          // 3 registers, MAC bytes
constexpr uint32_t kSimSerialRegister = 60028;       // u32

// Configuration page records.
constexpr uint32_t kSimSerialRecordOffset = 0;
constexpr uint32_t kSimMacRecordOffset = 0x14;
constexpr uint64_t kSimDefaultMac = 0x027C4B002000;
constexpr uint32_t kSimNoSerial = 0xFFFFFFFF;

// The serial number that the configuration page gives (page = its 4096
// bytes): the record's value when its header is there, else none.
uint32_t SerialFromConfigPage(const uint8_t* page);
// The MAC address that the configuration page gives: the record's six bytes
// when the record is there, else the factory default.
uint64_t MacFromConfigPage(const uint8_t* page);
// A configuration page's records for a starting identity (the rest of the
// bytes untouched): serial record, and MAC record unless mac is 0.
void WriteIdentityRecords(uint8_t* page, uint32_t serial, uint64_t mac);

// What the jig answers on its bus.
struct JigSettings {
  bool present = true;  // false: nothing answers, the data block reads 0xFF
  uint8_t code = 3;     // also wired to the code lines
  uint16_t type = 6;
  // Vm+ and Vm- scales, the two current-source resistors (ohms), the
  // current-sense resistor (ohms), the bias-current resistor (ohms).
  double values[6] = {4.0, 4.0, 10000.0, 100000.0, 0.1, 1000000.0};
};

struct ClockSettings {
  int64_t offsetSeconds = 0;  // the device clock's distance from the host's
};

// Handles a jig or clock option of the qxsim command line at argv[i]:
//   --jig-code N  --jig-type N  --jig-values A,B,C,D,E,F  --no-jig
//   --clock-offset SECONDS
// Returns the number of arguments used (0: not one of these), or -1 with
// *error set for a bad or missing value.
int ParseIdentityOption(int argc, char** argv, int i, JigSettings* jig, ClockSettings* clock,
                        std::string* error);
const char* IdentityUsage();

// The jig's set-up and data blocks and its code lines, and the device clock.
// Registers are handed over one 16-bit value at a time, as the device's
// register map sees them; thread-safe.
class IdentityRegisters {
 public:
  IdentityRegisters(JigSettings jig, ClockSettings clock);

  // True for the registers this block serves (jig blocks, code lines, clock).
  static bool Serves(uint32_t address);
  // A register written; false when it is not one of these.
  bool Write(uint32_t address, uint16_t value);
  // A register read; false when it is not one of these.
  bool Read(uint32_t address, uint16_t* value);

  // The device clock: the platform's wall clock moved by the offset.
  uint32_t ClockSeconds() const;
  void SetClock(uint32_t seconds);
  JigSettings jig() const;
  void SetJig(const JigSettings& jig);

 private:
  // The 36 bytes of the data block, answered only after the set-up.
  void DataBlock(uint8_t* bytes) const;
  bool SetupDone() const;

  mutable std::mutex mutex_;
  JigSettings jig_;
  int64_t offsetSeconds_;
  uint16_t setup_[kSimJigSetupRegisters] = {};
  uint16_t clockSet_[2] = {};
  uint32_t clockLatch_ = 0;  // the value whose high word was read last
};

}  // namespace qxsim
