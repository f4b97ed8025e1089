// "Check Calibration" and "Report Calibraion".
#include <cstdint>

#include "base/text.h"
#include "calibration/cal_constants.h"
#include "calibration/calibration_tests.h"
#include "device/flash.h"
#include "device/flash_map.h"
#include "harness/mask_bits.h"
#include "harness/measure.h"
#include "harness/messages.h"
#include "platform/stop_request.h"
#include "server/server_link.h"
#include "server/server_tests.h"

namespace {

// A torn record in a run that will calibrate: the device applies whatever
// its record holds, so it is erased at once; the device then measures on its
// nominal constants and "Calibrate" writes a whole record later in the run.
uint32_t EraseTornRecord(TestContext* context) {
  int32_t code = 0;
  {
    platform::UncutScope uncut;
    code = EraseFlashPage(context->handle, kCalibrationPageKey, kCalibrationPageBase);
  }
  if (code != 0) return FailComm(context, code);
  TextCopy(context->recordNote, "torn calibration record erased; Calibrate writes a new one");
  return 1;
}

}  // namespace

uint32_t CheckCalibration(TestContext* context) {
  context->EL = kLevelPassed;
  // A run that calibrates replaces whatever is stored: its verdict only informs.
  const bool calibrating = (context->mask & kMaskCalibration) != 0;
  // The rows that select "Calibrate": the jig and the calibration bit.
  const bool willCalibrate =
      (context->mask & (kMaskJig | kMaskCalibration)) == (kMaskJig | kMaskCalibration);
  uint8_t record[kCalRecordBytes];
  int32_t code = ReadFlash(context->handle, kCalibrationPageKey, kCalibrationPageBase,
                           kCalRecordBytes, record);
  if (code != 0) return FailComm(context, code);
  if (CalibrationRecordBlank(record)) {
    Finish(context, calibrating ? kLevelPassed : kLevelError, "Calibration Blank");
    return 0;
  }
  // A non-finite constant fails the check too, so failed >= 0 below unless
  // a piece is erased.
  const bool torn = CalibrationRecordTorn(record, context->isMax != 0);
  const int erased = ErasedCalibrationPiece(record);
  float values[kCalConstantCount];
  DecodeCalibrationRecord(record, values);
  MeasureConstants(context, values, context->isMax != 0, "Stored ");
  const int failed = FirstFailingConstant(values, context->isMax != 0);
  if (failed < 0 && !torn) return Finish(context, kLevelPassed, "Calibration Good");
  char piece[kPieceCapacity];
  if (erased >= 0) {
    // What the cut left is named, not the number an erased constant reads.
    TextFormat(piece, sizeof piece, "%i", erased);
    TextCopy(context->Msg, "Calibration Torn: erased from byte ");
    TextAppend(context->Msg, piece);
  } else {
    TextFormat(piece, sizeof piece, " %.03e", static_cast<double>(values[failed]));
    TextCopy(context->Msg, "Cal Failed: ");
    TextAppend(context->Msg, CalConstantTable[failed].name);
    TextAppend(context->Msg, piece);
  }
  context->EL = calibrating ? kLevelPassed : kLevelFatal;
  if (torn && willCalibrate) return EraseTornRecord(context);
  return 1;
}

uint32_t ReportCalibration(TestContext* context) {
  context->EL = kLevelPassed;
  if (context->server == nullptr) return FailNoServer(context);
  CalibrationItem items[kCalConstantCount];
  for (size_t i = 0; i < kCalConstantCount; ++i) {
    items[i].name = CalConstantTable[i].name;
    items[i].value = static_cast<double>(CalConstants[i]);
  }
  int code = context->server->SendCalibration(items, kCalConstantCount,
                                              static_cast<uint64_t>(context->serialNumber));
  if (code != 0) {
    FailComm(context, code);
    SetFailureSource(context, kSourceServer);
    return 1;
  }
  TextFormat(context->Msg, sizeof context->Msg, "Sent %i cal points. ",
             static_cast<int>(kCalConstantCount));
  return 0;
}
