#include "base/status_codes.h"

#include "qxm/qxm_errors.h"

namespace {

using F = StatusFamily;
constexpr StatusOwner kFixed = StatusOwner::kFixed;
constexpr StatusOwner kStation = StatusOwner::kStation;

}  // namespace

const StatusCode kStatusCodes[] = {
    {kLinkFlashBadArgument, kLinkFlashBadArgument, F::kDeviceLink, kFixed,
     "flash length or range not allowed"},
    {kLinkBadDirection, kLinkBadDirection, F::kDeviceLink, kFixed,
     "frame direction is neither read nor write"},
    {kLinkBadDataType, kLinkBadDataType, F::kDeviceLink, kFixed, "frame data type not known"},
    {kLinkTooManyRegisters, kLinkTooManyRegisters, F::kDeviceLink, kStation,
     "frame of more than 255 registers"},
    {kLinkRequestTooLong, kLinkRequestTooLong, F::kDeviceLink, kStation,
     "request does not fit the packet buffer"},
    {kLinkReplyTooLong, kLinkReplyTooLong, F::kDeviceLink, kStation,
     "reply would not fit the packet buffer"},
    {kLinkShortReply, kLinkShortReply, F::kDeviceLink, kStation,
     "reply shorter than its read frames need"},
    {kLinkOddValueCount, kLinkOddValueCount, F::kDeviceLink, kStation,
     "32-bit frame with an odd register count"},
    {kLinkBadAddress, kLinkBadAddress, F::kDeviceLink, kStation, "register address beyond 16 bits"},
    {kLinkBadArgument, kLinkBadArgument, F::kDeviceLink, kStation,
     "missing frames or result pointer"},
    {kLinkStopped, kLinkStopped, F::kDeviceLink, kStation, "stopped on request"},
    {kLinkNoRoute, kLinkNoRoute, F::kDeviceLink, kStation, "not known how the device was opened"},

    // The library's own table names each of these (QXM_ErrorToString).
    {QXM_ERR_INVALID_HANDLE, 1099, F::kDeviceLibrary, kFixed, "a device-access library code"},
    {QXM_ERR_DEVICE_EXCEPTION_BASE + 1, QXM_ERR_DEVICE_EXCEPTION_BASE + 255, F::kDeviceLibrary,
     kFixed, "a device exception (the exception's number after 1200)"},

    {kServerWrongVersion, kServerWrongVersion, F::kServerLink, kFixed,
     "socket library version not supported"},
    {kServerNoSockets, kServerNoSockets, F::kServerLink, kFixed, "socket library cannot start"},
    {kServerNotConnected, kServerNotConnected, F::kServerLink, kFixed,
     "not connected to the test server"},
    {kServerStatusZero, kServerStatusZero, F::kServerLink, kFixed, "reply without a status"},
    {kServerTimeout, kServerTimeout, F::kServerLink, kStation,
     "the test server did not answer in time"},
    {kServerClosed, kServerClosed, F::kServerLink, kStation,
     "the test server closed the connection"},
    {kServerTooLong, kServerTooLong, F::kServerLink, kStation, "message too long; nothing sent"},
    {kServerReceiveFailed, kServerReceiveFailed, F::kServerLink, kStation, "receive failed"},
    {kServerBadArgument, kServerBadArgument, F::kServerLink, kStation, "bad argument"},
    {kServerNotHex, kServerNotHex, F::kServerLink, kStation,
     "a value in the reply is not hexadecimal"},
    // Three digits; 200 is success and reads 0, a status 0 reads 10.
    {1, 999, F::kServerStatus, kFixed, "the test server's reply status"},

    // What a failed socket call leaves: errno on POSIX, the socket
    // library's code on Windows.
    {1, 255, F::kSystem, kFixed, "an operating-system error number"},
    {10000, 11999, F::kSystem, kFixed, "a socket library error number"},

    {kFileNoError, kFileNoError, F::kFirmwareFile, kFixed, "No error"},
    {kFileCannotOpen, kFileCannotOpen, F::kFirmwareFile, kFixed, "Could not find/open file"},
    {kFileIncompleteRead, kFileIncompleteRead, F::kFirmwareFile, kFixed,
     "Can not read files over 10MB"},
    {kFileNotFirmware, kFileNotFirmware, F::kFirmwareFile, kFixed,
     "File does not appear to be QX Firmware"},
    {kFileNoSuchImage, kFileNoSuchImage, F::kFirmwareFile, kFixed,
     "The specified image number does not exist"},
    {kFileInvalid, kFileInvalid, F::kFirmwareFile, kFixed, "File is invalid"},
    {kFileUnknownError, kFileUnknownError, F::kFirmwareFile, kFixed, "unknown error"},

    {kUpgradeWrongDevice, kUpgradeWrongDevice, F::kUpgrade, kFixed,
     "Image is built for another device, or there is no file"},
    {kUpgradeImageTooShort, kUpgradeImageTooShort, F::kUpgrade, kStation,
     "Image is shorter than one flash page"},
    {kUpgradeImageOutsideFile, kUpgradeImageOutsideFile, F::kUpgrade, kStation,
     "Image runs past the end of the file"},
    {kUpgradeImageTooLarge, kUpgradeImageTooLarge, F::kUpgrade, kStation,
     "Image is larger than the firmware area"},
    {kUpgradeInterrupted, kUpgradeInterrupted, F::kUpgrade, kStation, "stopped on request"},
};

const size_t kStatusCodeCount = sizeof kStatusCodes / sizeof kStatusCodes[0];

const StatusCode* FindStatusCode(StatusFamily family, int32_t code) {
  for (const StatusCode& entry : kStatusCodes) {
    if (entry.family == family && code >= entry.first && code <= entry.last) return &entry;
  }
  return nullptr;
}

const char* StatusCodeText(StatusFamily family, int32_t code) {
  const StatusCode* entry = FindStatusCode(family, code);
  return entry != nullptr ? entry->text : nullptr;
}
