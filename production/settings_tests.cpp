#include "production/settings_tests.h"

#include <cmath>
#include <cstring>

#include "base/text.h"
#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/register_addresses.h"
#include "device/registers.h"
#include "harness/mask_bits.h"
#include "harness/measure.h"
#include "harness/messages.h"

namespace {

FeedbackFrame ReadName() {
  return FeedbackFrame(FrameDirection::Read, kRegDeviceName, kDeviceNameRegisters,
                       FrameDataType::Bytes);
}

}  // namespace

uint32_t JudgeFirmwareVersion(float version, bool calibrating, char* msg, size_t cap) {
  char piece[kPieceCapacity];
  TextFormat(piece, sizeof piece, "%.04f", static_cast<double>(version));
  TextCopy(msg, cap, "Firmware Version: ");
  TextAppend(msg, cap, piece);
  if (static_cast<double>(version) >= kMinimumFirmware) return kLevelPassed;
  TextFormat(piece, sizeof piece, "%.04f Required", kMinimumFirmware);
  TextAppend(msg, cap, ", ");
  TextAppend(msg, cap, piece);
  return calibrating ? kLevelFatal : kLevelWarning;
}

bool NameFitsSerial(const uint8_t name[kDeviceNameBytes], int64_t serialNumber) {
  if (name[0] == 0 || name[0] == 0xFF) return false;
  int64_t number = 0;
  for (int i = 6; i < 10; ++i) number = number * 10 + (name[i] - '0');
  return number == serialNumber % 10000;
}

void BuildDefaultName(int64_t serialNumber, char* name, size_t cap) {
  std::memset(name, 0, cap);
  TextFormat(name, cap, "My_Z5_%04i", static_cast<int>(serialNumber % 10000));
}

uint32_t FirmwareVersion(TestContext* context) {
  FeedbackFrame read[1] = {
      FeedbackFrame(FrameDirection::Read, kRegFirmwareVersion, 2, FrameDataType::F32)};
  int32_t code = FeedbackExchange(context->handle, 1, read);
  if (code != 0) return FailComm(context, code);
  bool calibrating = (context->mask & kMaskCalibration) != 0;
  const float version = read[0].F32(0);
  context->EL = JudgeFirmwareVersion(version, calibrating, context->Msg, sizeof context->Msg);
  Measure(context, "Firmware version", version, "", kMinimumFirmware, kNoLimit);
  if (std::isfinite(version)) context->identity.firmware = version;
  return 0;
}

uint32_t StartupDaqSettings(TestContext* context) {
  context->EL = kLevelPassed;
  uint32_t factory = 0;
  int32_t code = ReadU32(context->handle, kRegStartupFactory, &factory);
  if (code != 0) return FailComm(context, code);
  if (factory == 1) return Finish(context, kLevelPassed, "Factory settings detected");
  if ((context->mask & kMaskRestoreSettings) == 0) {
    Finish(context, kLevelWarning, "non-Factory settings detected");
    return 0;
  }
  code = WriteU32(context->handle, kRegStartupRestore, kStartupRestoreKey);
  if (code != 0) return FailComm(context, code);
  return Finish(context, kLevelPassed, "Changed to factory settings");
}

uint32_t DeviceName(TestContext* context) {
  context->EL = kLevelPassed;
  FeedbackFrame first[1] = {ReadName()};
  int32_t code = FeedbackExchange(context->handle, 1, first);
  if (code != 0) return FailComm(context, code);

  char written[kPieceCapacity] = {};
  bool wrote = !NameFitsSerial(first[0].Bytes(), context->serialNumber);
  if (wrote) {
    BuildDefaultName(context->serialNumber, written, sizeof written);
    FeedbackFrame write[1] = {FeedbackFrame(FrameDirection::Write, kRegDeviceName,
                                            kDeviceNameRegisters, FrameDataType::Bytes,
                                            reinterpret_cast<const uint8_t*>(written))};
    code = FeedbackExchange(context->handle, 1, write);
    if (code != 0) return FailComm(context, code);
  }

  FeedbackFrame again[1] = {ReadName()};
  code = FeedbackExchange(context->handle, 1, again);
  if (code != 0) return FailComm(context, code);
  // The name as text: up to its first zero, at most the 40 bytes.
  char name[kDeviceNameBytes + 1] = {};
  std::memcpy(name, again[0].Bytes(), kDeviceNameBytes);
  context->identity.hasName = true;
  context->identity.name = name;

  const char* label = "Name: ";
  if (wrote) {
    if (std::strncmp(name, written, kDeviceNameBytes) != 0) {
      label = "Write Failure: ";
      context->EL = kLevelFatal;
    } else {
      label = "New Name: ";
    }
  }
  TextCopy(context->Msg, label);
  TextAppend(context->Msg, name);
  return 0;
}

uint32_t NotImplementedTest(TestContext* context) {
  return Finish(context, kLevelPassed, "Not implemented");
}
