// The production tests that deal with the device's identity and with the
// test server: connection, test jig, serial number, MAC address, clock, and
// the upload of the report lines.
#pragma once

#include <cstdint>

#include "device/register_addresses.h"
#include "harness/context.h"
#include "server/server_link.h"

// How the station introduces itself to the test server.
extern const ClientIdentity kStationIdentity;

// Device values these tests use; the registers are in device/register_addresses.h.
constexpr uint32_t kJigSetupRegisters = 11;
constexpr uint32_t kJigDataRegisters = 18;
constexpr uint32_t kJigType = 6;

constexpr uint32_t kDefaultSerial = 470010000;
constexpr uint32_t kNoSerial = 0xFFFFFFFF;
constexpr uint32_t kFirstRealSerial = 470010001;
constexpr uint32_t kFirstServerSerial = 470010002;
constexpr uint32_t kLastServerSerial = 480010000;
constexpr uint64_t kDefaultMac = 0x027C4B002000;
// What an erased MAC record reads: no MAC at all, taken as the default is.
constexpr uint64_t kErasedMac = 0xFFFFFFFFFFFF;
// The bytes that open a serial-number record.
constexpr uint8_t kSerialRecordHeader[8] = {0x08, 0xBE, 0xE1, 0x7D, 0, 0, 0, 0};

// The Msg of a test that needs the server link when none exists.
extern const char kNoServerLinkText[];
// The serial number test's name in the test table (a later update of the
// configuration page may undo what it found or wrote).
extern const char kSerialNumberTestName[];

uint32_t ConnectToServer(TestContext* context);
uint32_t ReadTestJigInfo(TestContext* context);
uint32_t SerialNumber(TestContext* context);
uint32_t EthernetMac(TestContext* context);
uint32_t SystemTime(TestContext* context);
uint32_t ReportTestResults(TestContext* context);
// The end of a server test that found no link: Msg = kNoServerLinkText, Fatal,
// the server named as the failure's source. Returns 1.
uint32_t FailNoServer(TestContext* context);
// The limits of these tests, for the fingerprint of the station's limits.
void AppendServerTestLimits(std::string* text);

// The records written into the configuration page.
void BuildSerialRecord(uint32_t serial, uint8_t record[12]);
void BuildMacRecord(uint64_t mac, uint8_t record[8]);
