// "Check Calibration" and "Report Calibraion".
#include <cstdint>

#include "base/text.h"
#include "calibration/cal_constants.h"
#include "calibration/calibration_tests.h"
#include "device/flash.h"
#include "device/flash_map.h"
#include "harness/mask_bits.h"
#include "harness/messages.h"
#include "server/server_link.h"
#include "server/server_tests.h"

uint32_t CheckCalibration(TestContext* context) {
  context->EL = kLevelPassed;
  // A run that calibrates replaces whatever is stored: its verdict only informs.
  const bool calibrating = (context->mask & kMaskCalibration) != 0;
  uint8_t record[kCalRecordBytes];
  int32_t code = ReadFlash(context->handle, kCalibrationPageKey, kCalibrationPageBase,
                           kCalRecordBytes, record);
  if (code != 0) return FailComm(context, code);
  if (CalibrationRecordBlank(record)) {
    Finish(context, calibrating ? kLevelPassed : kLevelError, "Calibration Blank");
    return 0;
  }
  float values[kCalConstantCount];
  DecodeCalibrationRecord(record, values);
  const int failed = FirstFailingConstant(values, context->isMax != 0);
  if (failed < 0) return Finish(context, kLevelPassed, "Calibration Good");
  char piece[kPieceCapacity];
  TextFormat(piece, sizeof piece, " %.03e", static_cast<double>(values[failed]));
  TextCopy(context->Msg, "Cal Failed: ");
  TextAppend(context->Msg, CalConstantTable[failed].name);
  TextAppend(context->Msg, piece);
  context->EL = calibrating ? kLevelPassed : kLevelFatal;
  return 1;
}

uint32_t ReportCalibration(TestContext* context) {
  context->EL = kLevelPassed;
  if (context->server == nullptr) return Finish(context, kLevelFatal, kNoServerLinkText);
  CalibrationItem items[kCalConstantCount];
  for (size_t i = 0; i < kCalConstantCount; ++i) {
    items[i].name = CalConstantTable[i].name;
    items[i].value = static_cast<double>(CalConstants[i]);
  }
  int code = context->server->SendCalibration(items, kCalConstantCount,
                                              static_cast<uint64_t>(context->serialNumber));
  if (code != 0) return FailComm(context, code);
  TextFormat(context->Msg, sizeof context->Msg, "Sent %i cal points. ",
             static_cast<int>(kCalConstantCount));
  return 0;
}
