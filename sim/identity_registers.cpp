#include "sim/identity_registers.h"

#include <cstdlib>
#include <cstring>

#include "platform/clock.h"

namespace qxsim {

namespace {

constexpr uint8_t kSerialHeader[8] = {0x08, 0xBE, 0xE1, 0x7D, 0, 0, 0, 0};

// The bus transfer that makes the jig deliver its data block, as registers.
constexpr uint16_t kExpectedSetup[kSimJigSetupRegisters] = {
    0x0007, 0x0006, 0x0000, 0x0000, 0x00A0, 0x0000, 0x0000, 0x0000, 0x0001, 0x0020, 0x0000};

void PutFloatBE(float value, uint8_t* out) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(bits >> (24 - 8 * i));
}

bool ParseInteger(const std::string& text, long long low, long long high, long long* value) {
  if (text.empty()) return false;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (end == nullptr || *end != '\0' || v < low || v > high) return false;
  *value = v;
  return true;
}

}  // namespace

uint32_t SerialFromConfigPage(const uint8_t* page) {
  if (std::memcmp(page + kSimSerialRecordOffset, kSerialHeader, sizeof kSerialHeader) != 0) {
    return kSimNoSerial;
  }
  const uint8_t* v = page + kSimSerialRecordOffset + 8;
  return static_cast<uint32_t>(v[0]) | static_cast<uint32_t>(v[1]) << 8 |
         static_cast<uint32_t>(v[2]) << 16 | static_cast<uint32_t>(v[3]) << 24;
}

uint64_t MacFromConfigPage(const uint8_t* page) {
  const uint8_t* record = page + kSimMacRecordOffset;
  if (record[0] != 0 || record[1] != 0) return kSimDefaultMac;
  uint64_t mac = 0;
  for (int i = 0; i < 6; ++i) mac = (mac << 8) | record[2 + i];
  return mac;
}

void WriteIdentityRecords(uint8_t* page, uint32_t serial, uint64_t mac) {
  std::memcpy(page + kSimSerialRecordOffset, kSerialHeader, sizeof kSerialHeader);
  for (int i = 0; i < 4; ++i) {
    page[kSimSerialRecordOffset + 8 + i] = static_cast<uint8_t>(serial >> (8 * i));
  }
  if (mac == 0) return;
  uint8_t* record = page + kSimMacRecordOffset;
  record[0] = 0;
  record[1] = 0;
  for (int i = 0; i < 6; ++i) record[2 + i] = static_cast<uint8_t>(mac >> (8 * (5 - i)));
}

const char* IdentityUsage() {
  return "  --jig-code N              the jig's code, 0..31 (default 3)\n"
         "  --jig-type N              the jig's type (default 6)\n"
         "  --jig-values A,B,C,D,E,F  the jig's six values\n"
         "  --no-jig                  nothing answers on the jig's bus\n"
         "  --clock-offset SECONDS    the device clock's distance from the host's\n";
}

int ParseIdentityOption(int argc, char** argv, int i, JigSettings* jig, ClockSettings* clock,
                        std::string* error) {
  if (i < 0 || i >= argc || argv[i] == nullptr) return 0;
  std::string name = argv[i];
  if (name == "--no-jig") {
    jig->present = false;
    return 1;
  }
  if (name != "--jig-code" && name != "--jig-type" && name != "--jig-values" &&
      name != "--clock-offset") {
    return 0;
  }
  if (i + 1 >= argc || argv[i + 1] == nullptr) {
    *error = name + " needs a value";
    return -1;
  }
  std::string value = argv[i + 1];
  long long number = 0;
  if (name == "--jig-code") {
    if (!ParseInteger(value, 0, 31, &number)) {
      *error = "bad jig code (0..31): " + value;
      return -1;
    }
    jig->code = static_cast<uint8_t>(number);
  } else if (name == "--jig-type") {
    if (!ParseInteger(value, 0, 65535, &number)) {
      *error = "bad jig type (0..65535): " + value;
      return -1;
    }
    jig->type = static_cast<uint16_t>(number);
  } else if (name == "--clock-offset") {
    if (!ParseInteger(value, -4000000000LL, 4000000000LL, &number)) {
      *error = "bad clock offset: " + value;
      return -1;
    }
    clock->offsetSeconds = number;
  } else {
    double values[6];
    size_t start = 0;
    for (int k = 0; k < 6; ++k) {
      size_t comma = value.find(',', start);
      bool last = k == 5;
      if ((comma == std::string::npos) != last) {
        *error = "--jig-values needs six values separated by commas: " + value;
        return -1;
      }
      std::string piece = value.substr(start, last ? std::string::npos : comma - start);
      char* end = nullptr;
      values[k] = std::strtod(piece.c_str(), &end);
      if (piece.empty() || end == nullptr || *end != '\0') {
        *error = "bad jig value: " + piece;
        return -1;
      }
      start = comma + 1;
    }
    std::memcpy(jig->values, values, sizeof values);
  }
  return 2;
}

IdentityRegisters::IdentityRegisters(JigSettings jig, ClockSettings clock)
    : jig_(jig), offsetSeconds_(clock.offsetSeconds) {}

bool IdentityRegisters::Serves(uint32_t address) {
  return (address >= kSimJigSetupRegister &&
          address < kSimJigSetupRegister + kSimJigSetupRegisters) ||
         (address >= kSimJigDataRegister && address < kSimJigDataRegister + kSimJigDataRegisters) ||
         address == kSimJigCodeLinesRegister ||
         (address >= kSimClockRegister && address < kSimClockRegister + 2) ||
         (address >= kSimClockSetRegister && address < kSimClockSetRegister + 2);
}

bool IdentityRegisters::SetupDone() const {
  return std::memcmp(setup_, kExpectedSetup, sizeof setup_) == 0;
}

void IdentityRegisters::DataBlock(uint8_t* bytes) const {
  if (!jig_.present || !SetupDone()) {
    std::memset(bytes, 0xFF, kSimJigDataRegisters * 2);
    return;
  }
  std::memset(bytes, 0, kSimJigDataRegisters * 2);
  // Eight floats from byte 4: float 0 carries code and type, floats 1, 2, 3,
  // 5, 6 and 7 the six values, float 4 nothing.
  static const int kValueFloats[6] = {1, 2, 3, 5, 6, 7};
  for (int i = 0; i < 6; ++i) {
    PutFloatBE(static_cast<float>(jig_.values[i]), bytes + 4 + 4 * kValueFloats[i]);
  }
  bytes[4] = 0;
  bytes[5] = jig_.code;
  bytes[6] = static_cast<uint8_t>(jig_.type >> 8);
  bytes[7] = static_cast<uint8_t>(jig_.type);
}

bool IdentityRegisters::Write(uint32_t address, uint16_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (address >= kSimJigSetupRegister && address < kSimJigSetupRegister + kSimJigSetupRegisters) {
    setup_[address - kSimJigSetupRegister] = value;
    return true;
  }
  if (address == kSimClockSetRegister) {
    clockSet_[0] = value;
    return true;
  }
  if (address == kSimClockSetRegister + 1) {
    // A u32 arrives high word first; the low word completes it.
    clockSet_[1] = value;
    uint32_t seconds = static_cast<uint32_t>(clockSet_[0]) << 16 | clockSet_[1];
    offsetSeconds_ = static_cast<int64_t>(seconds) - platform::WallSeconds();
    return true;
  }
  // The data block, code lines and clock are read-only; writes are ignored.
  return Serves(address);
}

bool IdentityRegisters::Read(uint32_t address, uint16_t* value) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (address >= kSimJigDataRegister && address < kSimJigDataRegister + kSimJigDataRegisters) {
    uint8_t bytes[kSimJigDataRegisters * 2];
    DataBlock(bytes);
    size_t i = 2 * (address - kSimJigDataRegister);
    *value = static_cast<uint16_t>(bytes[i] << 8 | bytes[i + 1]);
    return true;
  }
  if (address >= kSimJigSetupRegister && address < kSimJigSetupRegister + kSimJigSetupRegisters) {
    *value = setup_[address - kSimJigSetupRegister];
    return true;
  }
  if (address == kSimJigCodeLinesRegister) {
    // The jig ties the code lines; with no jig they float high.
    *value = jig_.present ? jig_.code : 0x1F;
    return true;
  }
  if (address == kSimClockRegister) {
    // Latched, so that the low word read next belongs to the same second.
    clockLatch_ = static_cast<uint32_t>(platform::WallSeconds() + offsetSeconds_);
    *value = static_cast<uint16_t>(clockLatch_ >> 16);
    return true;
  }
  if (address == kSimClockRegister + 1) {
    *value = static_cast<uint16_t>(clockLatch_);
    return true;
  }
  if (address == kSimClockSetRegister || address == kSimClockSetRegister + 1) {
    *value = clockSet_[address - kSimClockSetRegister];
    return true;
  }
  return false;
}

uint32_t IdentityRegisters::ClockSeconds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<uint32_t>(platform::WallSeconds() + offsetSeconds_);
}

void IdentityRegisters::SetClock(uint32_t seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  offsetSeconds_ = static_cast<int64_t>(seconds) - platform::WallSeconds();
}

JigSettings IdentityRegisters::jig() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return jig_;
}

void IdentityRegisters::SetJig(const JigSettings& jig) {
  std::lock_guard<std::mutex> lock(mutex_);
  jig_ = jig;
}

}  // namespace qxsim
