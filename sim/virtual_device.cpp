#include "sim/virtual_device.h"

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "sim/identity_registers.h"
#include "sim/sim_protocol.h"

namespace qxsim {

namespace {

constexpr uint8_t kRecordRead = 0;
constexpr uint8_t kRecordWrite = 1;
constexpr uint32_t kImageMagic = 0x51584658;  // "QXFX"
constexpr char kFlashTag[] = "FLSH";

struct Record {
  bool write;
  uint16_t address;
  uint8_t count;
  const uint8_t* data;  // write records: count * 2 bytes, big-endian
};

uint32_t GetU32BE(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void PutU32BE(uint32_t v, uint8_t* p) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Checks the form of every record and the size of the reply they ask for.
uint8_t ParseRecords(const uint8_t* p, size_t length, std::vector<Record>* records) {
  size_t at = 0;
  size_t replyBytes = kHeaderBytes;
  while (at < length) {
    if (length - at < 4) return kIllegalDataValue;
    uint8_t direction = p[at];
    Record r{direction == kRecordWrite, static_cast<uint16_t>(p[at + 1] << 8 | p[at + 2]),
             p[at + 3], nullptr};
    at += 4;
    if (direction != kRecordRead && direction != kRecordWrite) return kIllegalDataValue;
    if (r.count == 0) return kIllegalDataValue;
    if (r.write) {
      size_t bytes = size_t{r.count} * 2;
      if (length - at < bytes) return kIllegalDataValue;
      r.data = p + at;
      at += bytes;
    } else {
      replyBytes += size_t{r.count} * 2;
      if (replyBytes > kMaxPacketBytes) return kIllegalDataValue;
    }
    records->push_back(r);
  }
  return kExceptionNone;
}

float DecodeVersion(const uint8_t* p) {
  uint32_t bits = GetU32BE(p);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  if (std::isnan(value)) return value;
  if (value > 1000.0f || value < 0.0f) return static_cast<float>(p[2] + p[3] / 100.0);
  return value;
}

const FlashRegion* RegionAt(uint32_t base) {
  for (const FlashRegion& r : kFlashRegions) {
    if (r.base == base) return &r;
  }
  return nullptr;
}

}  // namespace

float FirmwareVersionFromInfoPage(const uint8_t* page) {
  if (GetU32BE(page) != kImageMagic || GetU32BE(page + 4) != kDeviceCode) return 0.0f;
  return DecodeVersion(page + 8);
}

void WriteFactoryInfoPage(uint8_t* page, float version) {
  std::memset(page, 0xFF, kFlashPageBytes);
  std::memset(page, 0, 128);
  uint32_t bits;
  std::memcpy(&bits, &version, sizeof bits);
  PutU32BE(kImageMagic, page);
  PutU32BE(kDeviceCode, page + 4);
  PutU32BE(bits, page + 8);
  PutU32BE(bits, page + 12);
  page[19] = 1;  // one image
}

VirtualDevice::VirtualDevice(DeviceOptions options) {
  core_.options = options;
  core_.isMax = options.isMax;
  core_.bootloaderVersion = options.bootloaderVersion;
  WriteFactoryInfoPage(core_.flash.RegionBytes(kInfoRegion).data(), options.factoryFirmwareVersion);
  uint8_t* config = core_.flash.RegionBytes(kConfigRegion).data();
  if (options.identity == StartingIdentity::kFactoryDefaults) {
    WriteIdentityRecords(config, kFactorySerial, kSimDefaultMac);
  } else if (options.identity == StartingIdentity::kGiven) {
    WriteIdentityRecords(config, options.serialNumber, options.mac);
  }
  InstallCoreRegisters(map_, core_);
  PowerOnLocked();
}

void VirtualDevice::Install(const std::function<void(RegisterMap&, DeviceCore&)>& installer) {
  std::lock_guard<std::mutex> lock(mutex_);
  installer(map_, core_);
}

uint8_t VirtualDevice::Feedback(const uint8_t* records, size_t length,
                                std::vector<uint8_t>* readData) {
  std::vector<Record> list;
  uint8_t e = ParseRecords(records, length, &list);
  if (e != kExceptionNone) return e;
  std::lock_guard<std::mutex> lock(mutex_);
  ++core_.packets;
  for (const Record& r : list) {
    if (!map_.Covers(r.address, r.count)) return kIllegalDataAddress;
  }
  readData->clear();
  uint16_t values[255];
  for (const Record& r : list) {
    if (r.write) {
      for (size_t i = 0; i < r.count; ++i) {
        values[i] = static_cast<uint16_t>(r.data[2 * i] << 8 | r.data[2 * i + 1]);
      }
      e = map_.Write(r.address, r.count, values);
    } else {
      e = map_.Read(r.address, r.count, values);
      for (size_t i = 0; e == kExceptionNone && i < r.count; ++i) {
        readData->push_back(static_cast<uint8_t>(values[i] >> 8));
        readData->push_back(static_cast<uint8_t>(values[i]));
      }
    }
    if (e != kExceptionNone) {
      readData->clear();
      return e;
    }
  }
  return kExceptionNone;
}

bool VirtualDevice::TakeRestartRequest() {
  std::lock_guard<std::mutex> lock(mutex_);
  bool requested = core_.restartRequested;
  core_.restartRequested = false;
  return requested;
}

void VirtualDevice::PowerOn() {
  std::lock_guard<std::mutex> lock(mutex_);
  PowerOnLocked();
}

void VirtualDevice::PowerOnLocked() {
  core_.restartRequested = false;
  core_.firmwareVersion = FirmwareVersionFromInfoPage(core_.flash.RegionBytes(kInfoRegion).data());
  map_.PowerOn();
}

uint8_t VirtualDevice::ReadRegisters(uint16_t address, size_t count, uint16_t* values) {
  std::lock_guard<std::mutex> lock(mutex_);
  return map_.Read(address, count, values);
}

uint8_t VirtualDevice::WriteRegisters(uint16_t address, size_t count, const uint16_t* values) {
  std::lock_guard<std::mutex> lock(mutex_);
  return map_.Write(address, count, values);
}

uint32_t VirtualDevice::ReadU32(uint16_t address) {
  uint16_t v[2];
  uint8_t e = ReadRegisters(address, 2, v);
  if (e != kExceptionNone) {
    throw std::runtime_error("register " + std::to_string(address) + ": " + SimExceptionName(e));
  }
  return static_cast<uint32_t>(v[0]) << 16 | v[1];
}

float VirtualDevice::ReadF32(uint16_t address) {
  uint32_t bits = ReadU32(address);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::vector<uint8_t> VirtualDevice::PeekFlash(uint32_t address, size_t length) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<uint8_t> bytes(length);
  if (!core_.flash.Peek(address, bytes.data(), length)) {
    throw std::out_of_range("flash range outside the regions");
  }
  return bytes;
}

void VirtualDevice::PokeFlash(uint32_t address, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!core_.flash.Poke(address, bytes.data(), bytes.size())) {
    throw std::out_of_range("flash range outside the regions");
  }
}

void VirtualDevice::BlankFlash(uint32_t address, size_t length) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!core_.flash.Blank(address, length)) {
    throw std::out_of_range("flash range outside the regions");
  }
}

uint32_t VirtualDevice::SerialNumber() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return SerialFromConfigPage(core_.flash.RegionBytes(kConfigRegion).data());
}

uint64_t VirtualDevice::Mac() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return MacFromConfigPage(core_.flash.RegionBytes(kConfigRegion).data());
}

void VirtualDevice::SetIdentity(uint32_t serialNumber, uint64_t mac) {
  std::lock_guard<std::mutex> lock(mutex_);
  WriteIdentityRecords(core_.flash.RegionBytes(kConfigRegion).data(), serialNumber, mac);
}

bool VirtualDevice::isMax() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_.isMax;
}

void VirtualDevice::SetMax(bool isMax) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.isMax = isMax;
}

float VirtualDevice::firmwareVersion() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_.firmwareVersion;
}

float VirtualDevice::bootloaderVersion() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_.bootloaderVersion;
}

void VirtualDevice::SetBootloaderVersion(float version) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.bootloaderVersion = version;
}

void VirtualDevice::SetFlashWriteFault(int failAfter) {
  std::lock_guard<std::mutex> lock(mutex_);
  core_.flashWriteFailAfter = failAfter < 0 ? -1 : failAfter;
}

uint64_t VirtualDevice::flashEraseCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_.flash.eraseCount();
}

uint64_t VirtualDevice::flashWriteCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_.flash.programCount();
}

uint64_t VirtualDevice::packetCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_.packets;
}

uint64_t VirtualDevice::StateGeneration() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return core_.flash.generation() + core_.otherStateGeneration;
}

std::vector<StateSection> VirtualDevice::SaveState() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<StateSection> out;
  for (const FlashRegion& r : kFlashRegions) {
    StateSection s{kFlashTag, std::vector<uint8_t>(4)};
    PutU32BE(r.base, s.bytes.data());
    const std::vector<uint8_t>& bytes = core_.flash.RegionBytes(r);
    s.bytes.insert(s.bytes.end(), bytes.begin(), bytes.end());
    out.push_back(std::move(s));
  }
  for (const Section& section : sections_) out.push_back({section.tag, section.save(core_)});
  out.insert(out.end(), foreign_.begin(), foreign_.end());
  return out;
}

bool VirtualDevice::LoadState(const std::vector<StateSection>& sections, std::string* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Flash sections are checked before any is taken.
  for (const StateSection& s : sections) {
    if (s.tag != kFlashTag) continue;
    const FlashRegion* r = s.bytes.size() >= 4 ? RegionAt(GetU32BE(s.bytes.data())) : nullptr;
    if (r == nullptr || s.bytes.size() != 4 + size_t{r->size}) {
      *error = "state file holds a flash section that fits no region";
      return false;
    }
  }
  std::vector<StateSection> foreign;
  for (const StateSection& s : sections) {
    if (s.tag == kFlashTag) {
      std::vector<uint8_t>& bytes = core_.flash.RegionBytes(*RegionAt(GetU32BE(s.bytes.data())));
      bytes.assign(s.bytes.begin() + 4, s.bytes.end());
      continue;
    }
    bool known = false;
    for (const Section& section : sections_) {
      if (section.tag != s.tag) continue;
      known = true;
      if (!section.load(core_, s.bytes)) {
        *error = "state file section " + s.tag + " cannot be loaded";
        return false;
      }
    }
    if (!known) foreign.push_back(s);
  }
  foreign_ = std::move(foreign);
  PowerOnLocked();
  return true;
}

void VirtualDevice::AddStateSection(
    const std::string& tag, std::function<std::vector<uint8_t>(const DeviceCore&)> save,
    std::function<bool(DeviceCore&, const std::vector<uint8_t>&)> load) {
  if (tag.size() != 4 || tag == kFlashTag) throw std::logic_error("bad state section tag " + tag);
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Section& s : sections_) {
    if (s.tag == tag) throw std::logic_error("state section " + tag + " added twice");
  }
  sections_.push_back(Section{tag, std::move(save), std::move(load)});
}

}  // namespace qxsim
