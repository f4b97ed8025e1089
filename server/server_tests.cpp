#include "server/server_tests.h"

#include <cinttypes>

#include "base/format_mac.h"
#include "base/text.h"
#include "base/version.h"
#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/flash.h"
#include "device/flash_map.h"
#include "device/registers.h"
#include "harness/harness.h"
#include "harness/mask_bits.h"
#include "harness/measure.h"
#include "harness/messages.h"
#include "platform/byte_order.h"
#include "platform/clock.h"

const ClientIdentity kStationIdentity = {"QXTestZ5", kStationVersion, 0x1702, 0x5E2C91A4};

const char kNoServerLinkText[] = "No QXTest Server link: \"Connect to QXTest Server\" has not run";
const char kSerialNumberTestName[] = "Serial Number";

namespace {

constexpr uint64_t kMacBits = 0xFFFFFFFFFFFFull;

// For the run's record: an erased configuration page reads no serial number
// and a MAC of all ones; whatever identity the device had is gone.
constexpr char kIdentityLostNote[] =
    "configuration page erased: the device's earlier identity (if any) is lost";

// The bus transfer that makes the jig deliver its data block.
constexpr uint8_t kJigSetup[kJigSetupRegisters * 2] = {
    0x00, 0x07, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x20, 0x00, 0x00};

void DeleteServerLink(ServerLink* link) { delete link; }

uint64_t MacFromBytes(const uint8_t* bytes) {
  uint64_t mac = 0;
  for (int i = 0; i < 6; ++i) mac = (mac << 8) | bytes[i];
  return mac;
}

// The first byte's lowest bit marks a multicast or broadcast address.
bool IsGroupMac(uint64_t mac) { return ((mac >> 40) & 0x01) != 0; }

void MacToBytes(uint64_t mac, uint8_t* bytes) {
  for (int i = 0; i < 6; ++i) bytes[i] = static_cast<uint8_t>(mac >> (8 * (5 - i)));
}

// Msg = text followed by the MAC address.
uint32_t FinishWithMac(TestContext* context, uint32_t level, const char* text, uint64_t mac) {
  uint8_t bytes[6];
  char macText[kMacTextCapacity];
  MacToBytes(mac, bytes);
  FormatMac(bytes, macText);
  TextCopy(context->Msg, text);
  TextAppend(context->Msg, macText);
  context->EL = level;
  return level == kLevelPassed ? 0 : 1;
}

// Msg = text followed by the serial number.
uint32_t FinishWithSerial(TestContext* context, uint32_t level, const char* text, uint64_t serial) {
  char piece[kPieceCapacity];
  TextFormat(piece, sizeof piece, "%" PRIu64, serial);
  TextCopy(context->Msg, text);
  TextAppend(context->Msg, piece);
  context->EL = level;
  return level == kLevelPassed ? 0 : 1;
}

int64_t Distance(int64_t a, int64_t b) { return a > b ? a - b : b - a; }

// Seconds the device's clock may be off, as read and after it was set.
constexpr int64_t kClockTolerance = 5;
constexpr int64_t kClockSetTolerance = 3;

}  // namespace

uint32_t FailNoServer(TestContext* context) {
  // The test server was not reached earlier in the run.
  SetFailureSource(context, kSourceServer);
  return Finish(context, kLevelFatal, kNoServerLinkText);
}

void AppendServerTestLimits(std::string* text) {
  AppendLimit(text, "clock.Tolerance", static_cast<double>(kClockTolerance));
  AppendLimit(text, "clock.SetTolerance", static_cast<double>(kClockSetTolerance));
  AppendLimit(text, "jig.Type", kJigType);
}

void BuildSerialRecord(uint32_t serial, uint8_t record[12]) {
  for (int i = 0; i < 8; ++i) record[i] = kSerialRecordHeader[i];
  for (int i = 0; i < 4; ++i) record[8 + i] = static_cast<uint8_t>(serial >> (8 * i));
}

void BuildMacRecord(uint64_t mac, uint8_t record[8]) {
  record[0] = 0;
  record[1] = 0;
  MacToBytes(mac, record + 2);
}

uint32_t ConnectToServer(TestContext* context) {
  ServerLink* link = new ServerLink();
  // A link from an earlier run of this test is replaced (and freed).
  SetServer(context, link, DeleteServerLink);
  int code = link->Connect(kStationIdentity);
  if (code != kServerOk) {
    SetFailureSource(context, kSourceServer);
    char piece[kPieceCapacity];
    TextFormat(piece, sizeof piece, "Connection Error (%i)", code);
    return Finish(context, kLevelFatal, piece);
  }
  return Finish(context, kLevelPassed, "Connected to Server");
}

uint32_t ReadTestJigInfo(TestContext* context) {
  context->EL = kLevelPassed;
  FeedbackFrame frames[3] = {
      FeedbackFrame(FrameDirection::Write, kRegJigSetup, kJigSetupRegisters, FrameDataType::Bytes,
                    kJigSetup),
      FeedbackFrame(FrameDirection::Read, kRegJigData, kJigDataRegisters, FrameDataType::Bytes),
      FeedbackFrame(FrameDirection::Read, kRegDioGroupLevel, 1, FrameDataType::U16),
  };
  int32_t code = FeedbackExchange(context->handle, 3, frames);
  if (code != 0) return FailComm(context, code);

  const uint8_t* data = frames[1].Bytes();
  context->jigCode = data[5];
  context->jigType = static_cast<uint32_t>(data[6]) * 256 + data[7];
  // Eight floats from byte 4; float 0 overlaps the code and type, float 4
  // is not used.
  static const int kValueFloats[6] = {1, 2, 3, 5, 6, 7};
  for (int i = 0; i < 6; ++i) {
    context->jigValues[i] =
        static_cast<double>(GetF32BE(data, frames[1].ByteCount(), 4 + 4 * kValueFloats[i]));
  }
  uint32_t lines = frames[2].U16(0) & 31;
  context->identity.jigRead = true;
  Measure(context, "Jig code", context->jigCode, "", lines, lines);
  Measure(context, "Jig type", context->jigType, "", kJigType, kJigType);
  for (int i = 0; i < 6; ++i) {
    char name[kPieceCapacity];
    TextFormat(name, sizeof name, "Jig value %d", i);
    Report(context, name, context->jigValues[i], "");
  }

  if (context->jigCode != lines) {
    TextCopy(context->Msg, "Code mismatch: ");
    context->EL = kLevelFatal;
  } else if (context->jigType != kJigType) {
    TextCopy(context->Msg, "Wrong Jig Type: ");
    context->EL = kLevelFatal;
  } else {
    TextCopy(context->Msg, "Jig found: ");
  }
  char piece[kPieceCapacity];
  TextFormat(piece, sizeof piece, "(%u,", context->jigType);
  TextAppend(context->Msg, piece);
  TextFormat(piece, sizeof piece, "%u,", context->jigCode);
  TextAppend(context->Msg, piece);
  TextFormat(piece, sizeof piece, "%u)", lines);
  TextAppend(context->Msg, piece);
  return context->EL == kLevelPassed ? 0 : 1;
}

namespace {

// A new serial number from the test server, written into the device.
uint32_t SerialFromServer(TestContext* context) {
  if (context->server == nullptr) return FailNoServer(context);
  uint64_t fromServer = 0;
  int32_t code = context->server->GetSerial(&fromServer);
  if (code != kServerOk) SetFailureSource(context, kSourceServer);
  // A garbled number is refused as a bad one: its stray characters read as
  // zeros could make it look like a valid serial.
  if (code == kServerNotHex) {
    return FinishWithSerial(context, kLevelFatal, "SN System Failure: ", fromServer);
  }
  if (code != kServerOk) {
    // The value is undefined after a failed request; nothing is written.
    char piece[kPieceCapacity];
    TextFormat(piece, sizeof piece, "(%i)", code);
    TextCopy(context->Msg, "Failed to get SN from QXTS ");
    TextAppend(context->Msg, piece);
    context->EL = kLevelFatal;
    return 1;
  }
  // Judged whole: the low 32 bits of a larger value could fall in the range.
  if (fromServer < kFirstServerSerial || fromServer > kLastServerSerial) {
    SetFailureSource(context, kSourceServer);
    return FinishWithSerial(context, kLevelFatal, "SN System Failure: ", fromServer);
  }
  const uint32_t sn = static_cast<uint32_t>(fromServer);
  uint8_t record[kSerialRecordSize];
  BuildSerialRecord(sn, record);
  code = WriteFlashBytes(context->handle, kConfigPageKey, kConfigPageBase + kSerialRecordOffset,
                         kSerialRecordSize, record);
  if (code != 0) {
    char piece[kPieceCapacity];
    TextFormat(piece, sizeof piece, "%u)", static_cast<uint32_t>(code));
    SetFailureSource(context, kSourceLink);
    TextCopy(context->Msg, "Failed to write SN (");
    TextAppend(context->Msg, piece);
    context->EL = kLevelFatal;
    return 1;
  }
  context->serialNumber = static_cast<int64_t>(sn);
  return FinishWithSerial(context, kLevelPassed, "New Serial: ", sn);
}

// A new MAC from the test server, written into the device.
uint32_t MacFromServer(TestContext* context) {
  if (context->server == nullptr) return FailNoServer(context);
  uint64_t fromServer = 0;
  int32_t code = context->server->GetMac(&fromServer);
  if (code != kServerOk) SetFailureSource(context, kSourceServer);
  if (code != kServerOk && code != kServerNotHex) {
    return Finish(context, kLevelFatal, "Failed to get MAC from QXTS");
  }
  // More than 48 bits is no address; it shows as all ones rather than as its
  // low bits, which could look like a good one.
  uint64_t newMac = fromServer > kMacBits ? kMacBits : fromServer;
  // An address at or below the default, or a group address, would fail this
  // very test on the next run; a garbled one could be anything: none is written.
  if (code == kServerNotHex || newMac <= kDefaultMac || IsGroupMac(newMac)) {
    return FinishWithMac(context, kLevelFatal, "MAC system failure: ", newMac);
  }
  uint8_t record[kMacRecordSize];
  BuildMacRecord(newMac, record);
  bool pageAtRisk = false;
  code = WriteFlashBytes(context->handle, kConfigPageKey, kConfigPageBase + kMacRecordOffset,
                         kMacRecordSize, record, &pageAtRisk);
  if (code != 0 && pageAtRisk) {
    // The page holds the serial number record too: the run's record must not
    // keep it as the device's.
    TextCopy(context->recordNote, "configuration page left erased or half written");
    context->undoneTest = kSerialNumberTestName;
    TextCopy(context->undoneNote,
             "the configuration page's update by \"Ethernet MAC\" failed after its erase: the "
             "device may no longer hold this serial number");
  }
  if (code != 0) {
    SetFailureSource(context, kSourceLink);
    context->identity.hasMac = false;  // what the device holds now is not known
    return FinishWithMac(context, kLevelFatal, "Write Failed: ", newMac);
  }
  context->identity.hasMac = true;
  context->identity.mac = newMac;
  return FinishWithMac(context, kLevelPassed, "MAC Written: ", newMac);
}

}  // namespace

uint32_t SerialNumber(TestContext* context) {
  context->EL = kLevelPassed;
  uint32_t sn = 0;
  int32_t code = ReadU32(context->handle, kRegSerialNumber, &sn);
  if (code != 0) return FailComm(context, code);
  context->serialNumber = static_cast<int64_t>(sn);
  if (sn == kNoSerial) TextCopy(context->recordNote, kIdentityLostNote);

  if (sn >= kFirstRealSerial && sn != kNoSerial) {
    return FinishWithSerial(context, kLevelPassed, "Serial Number: ", sn);
  }
  if (sn != kDefaultSerial && sn != kNoSerial) {
    return FinishWithSerial(context, kLevelFatal, "SN System Failure: ", sn);
  }
  // The factory default, or no serial number at all.
  if ((context->mask & kMaskMaySerialize) == 0) {
    return FinishWithSerial(context, kLevelWarning, "Default Serial: ", sn);
  }
  if ((context->mask & kMaskReports) == 0) {
    SetFailureSource(context, kSourceStation);
    return Finish(context, kLevelFatal, "Must Report to Serialize");
  }
  return SerialFromServer(context);
}

uint32_t EthernetMac(TestContext* context) {
  context->EL = kLevelPassed;
  FeedbackFrame frame(FrameDirection::Read, kRegMac, 3, FrameDataType::Bytes);
  int32_t code = FeedbackExchange(context->handle, 1, &frame);
  if (code != 0) return FailComm(context, code);
  uint64_t mac = MacFromBytes(frame.Bytes());

  // A group address (broadcast included: an erased MAC record reads all
  // ones) is no device's own, however it compares with the default.
  // An erased record (all ones) is no MAC: it gets one as the default does.
  const bool erased = mac == kErasedMac;
  if (erased) TextCopy(context->recordNote, kIdentityLostNote);
  if (!erased) {
    context->identity.hasMac = true;
    context->identity.mac = mac;
  }
  if (!erased && IsGroupMac(mac)) {
    return FinishWithMac(context, kLevelFatal, "MAC system failure: ", mac);
  }
  if (!erased && mac > kDefaultMac) return FinishWithMac(context, kLevelPassed, "MAC: ", mac);
  if (!erased && mac != kDefaultMac) {
    return FinishWithMac(context, kLevelFatal, "MAC system failure: ", mac);
  }
  if ((context->mask & kMaskMayUpdateMac) == 0) {
    return FinishWithMac(context, kLevelWarning, "Default MAC: ", mac);
  }
  if ((context->mask & kMaskReports) == 0) {
    SetFailureSource(context, kSourceStation);
    return Finish(context, kLevelFatal, "Must Report to Update MAC");
  }
  return MacFromServer(context);
}

uint32_t SystemTime(TestContext* context) {
  context->EL = kLevelPassed;
  // The device's clock is a 32-bit count of seconds: kept unsigned, and
  // compared with the host's clock in 64 bits.
  uint32_t deviceTime = 0;
  int32_t code = ReadU32(context->handle, kRegClock, &deviceTime);
  if (code != 0) return FailComm(context, code);
  if (context->isMax == 0) {
    Report(context, "Device clock", deviceTime, "s");
    return Finish(context, kLevelPassed, "System clock:");
  }

  int64_t hostTime = platform::WallSeconds();
  int64_t error = static_cast<int64_t>(deviceTime) - hostTime;
  char piece[kPieceCapacity];
  TextFormat(piece, sizeof piece, "%u, Err: %" PRId64, deviceTime, error);
  TextCopy(context->Msg, "Z5: ");
  TextAppend(context->Msg, piece);

  if ((context->mask & kMaskSetClock) == 0) {
    MeasureJudged(context, "Clock difference", static_cast<double>(error), "s", -kClockTolerance,
                  kClockTolerance, Distance(deviceTime, hostTime) <= kClockTolerance);
    if (Distance(deviceTime, hostTime) > kClockTolerance) context->EL = kLevelError;
    return 0;
  }
  uint32_t setTime = static_cast<uint32_t>(hostTime);
  code = WriteU32(context->handle, kRegClockSet, setTime);
  if (code != 0) return FailComm(context, code);
  platform::SleepMs(2000);
  uint32_t newTime = 0;
  code = ReadU32(context->handle, kRegClock, &newTime);
  if (code != 0) return FailComm(context, code);
  Report(context, "Clock difference", static_cast<double>(error), "s");
  MeasureJudged(context, "Clock difference after set",
                static_cast<double>(static_cast<int64_t>(newTime) - hostTime), "s",
                -kClockSetTolerance, kClockSetTolerance,
                Distance(newTime, hostTime) <= kClockSetTolerance);
  if (Distance(newTime, hostTime) > kClockSetTolerance) context->EL = kLevelError;
  TextFormat(piece, sizeof piece, "Err: %" PRId64 " ",
             static_cast<int64_t>(deviceTime) - static_cast<int64_t>(setTime));
  TextCopy(context->Msg, piece);
  TextFormat(piece, sizeof piece, "Time set to: %u", newTime);
  TextAppend(context->Msg, piece);
  return 0;
}

uint32_t ReportTestResults(TestContext* context) {
  context->EL = kLevelPassed;
  if (context->server == nullptr) return FailNoServer(context);
  // This test's own line is not there yet; a calibration run also leaves out
  // the line before it.
  int64_t count = static_cast<int64_t>(context->testCount) - 1;
  if ((context->mask & kMaskCalibration) != 0) count -= 1;
  if (count < 0) count = 0;
  if (count > static_cast<int64_t>(kMaxTests)) count = kMaxTests;
  uint32_t n = static_cast<uint32_t>(count);
  uint64_t serial = static_cast<uint64_t>(context->serialNumber);
  int code = (context->mask & kMaskJig) != 0
                 ? context->server->SendTestResults(context->resultLines, n, serial)
                 : context->server->SendQuickTestResults(context->resultLines, n, serial);
  if (code != kServerOk) {
    FailComm(context, code);
    SetFailureSource(context, kSourceServer);
    return 1;
  }
  char piece[kPieceCapacity];
  TextFormat(piece, sizeof piece, "Sent %i results. ", static_cast<int>(n));
  return Finish(context, kLevelPassed, piece);
}
