// Every status code the station can show an operator ("Comm Error: (N)",
// the upgrade's "Error: N", "Connection Error (N)", qxreg's "failed (N)"),
// with its meaning, in one table.
//
// Numbers fixed from outside stay as they are: the device-access library's
// (qxm/qxm_errors.h), the operating system's, the test server's reply
// statuses, and the station's long-standing small codes (the file's 1 to 6,
// the link's 1, 256 and 257, the server link's 1, 2, 3 and 10, 12345). Such
// numbers may mean different things in different families, as they always
// have. The codes the station chose itself each have a range that nothing
// else uses, so that one of them always means one thing:
//   1501-1599  the device link's own
//   1601-1699  the test server link's own
//   12346-12399  the upgrade's own refusals of an image
#pragma once

#include <cstddef>
#include <cstdint>

// The device link's codes, beside the library's, which it passes up
// unchanged. None has 3 in its lowest four bits, nor is 1211: that pattern
// makes the exchange read the device's error registers.
enum LinkError : int32_t {
  // A flash operation's bad argument: odd write length, range leaving its page.
  kLinkFlashBadArgument = 1,
  // Refused before anything is sent:
  kLinkBadDirection = 256,       // a frame neither Read nor Write
  kLinkBadDataType = 257,        // a frame data type above 4
  kLinkTooManyRegisters = 1501,  // a frame of more than 255 registers
  kLinkRequestTooLong = 1502,    // the request would not fit the packet buffer
  kLinkReplyTooLong = 1503,      // the reply to the read frames would not fit it
  kLinkOddValueCount = 1505,     // a U32/F32 frame with an odd register count
  kLinkBadAddress = 1506,        // a register address beyond 16 bits
  kLinkBadArgument = 1508,       // negative frame count, null frames or out pointer
  kLinkStopped = 1509,           // a stop was requested: no further operation starts
  kLinkNoRoute = 1510,           // a handle that was not opened through OpenDeviceLink
  // Found in the reply:
  kLinkShortReply = 1504,  // the reply carries less data than its read frames need
};

// The test server link's results besides 0, the reply statuses (any other
// than 200) and the operating system's error numbers.
enum ServerLinkCode : int {
  kServerOk = 0,
  kServerWrongVersion = 1,      // the socket library is not the version asked for
  kServerNoSockets = 2,         // the socket library cannot start
  kServerNotConnected = 3,      // connect failed, or the link has no connection
  kServerStatusZero = 10,       // a reply with status 0 or without digits
  kServerTimeout = 1601,        // no whole reply line before the receive time-out
  kServerClosed = 1602,         // the server closed the connection
  kServerTooLong = 1603,        // the message does not fit its buffer; nothing was sent
  kServerReceiveFailed = 1604,  // a receive failed and the OS gave no code of its own
  kServerBadArgument = 1605,    // a null pointer where a value or list was needed
  kServerNotHex = 1606,         // a value asked for is not wholly hexadecimal
};

// The firmware file's sticky error code.
enum FirmwareFileError : int32_t {
  kFileNoError = 0,
  kFileCannotOpen = 1,
  kFileIncompleteRead = 2,  // also: larger than the reader's limit
  kFileNotFirmware = 3,
  kFileNoSuchImage = 4,  // returned, never stored
  kFileInvalid = 5,      // a header or chain offset outside the file
  kFileUnknownError = 6,
};
constexpr int32_t kFileErrorCount = 7;

// The upgrade's refusals of an image, before anything is erased.
constexpr int32_t kUpgradeWrongDevice = 12345;       // built for another device, or no file
constexpr int32_t kUpgradeImageTooShort = 12346;     // body shorter than one page
constexpr int32_t kUpgradeImageOutsideFile = 12347;  // body or info page past the file's end
constexpr int32_t kUpgradeImageTooLarge = 12348;     // more pages than the firmware area
constexpr int32_t kUpgradeInterrupted = 12349;       // a stop request ended it between steps

enum class StatusFamily : uint8_t {
  kDeviceLink,     // the device link's own codes
  kDeviceLibrary,  // the device-access library's, and the device's exceptions
  kServerLink,     // the test server link's own codes
  kServerStatus,   // a test server reply's status, passed on as the code
  kSystem,         // an operating-system error number, passed on as the code
  kFirmwareFile,
  kUpgrade,
};

enum class StatusOwner : uint8_t {
  kFixed,    // the number is fixed from outside the station's own choice
  kStation,  // the station chose it: it lies in a range of its own
};

// One code, or a range of codes of one meaning.
struct StatusCode {
  int32_t first;
  int32_t last;
  StatusFamily family;
  StatusOwner owner;
  const char* text;
};

extern const StatusCode kStatusCodes[];
extern const size_t kStatusCodeCount;

// The entry of this family that holds code, or null.
const StatusCode* FindStatusCode(StatusFamily family, int32_t code);
// Its text, or null when the family has no such code.
const char* StatusCodeText(StatusFamily family, int32_t code);
