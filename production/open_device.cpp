#include "production/open_device.h"

#include <cmath>
#include <cstring>

#include "base/text.h"
#include "device/device_link.h"
#include "device/feedback_exchange.h"
#include "device/feedback_frame.h"
#include "device/register_addresses.h"
#include "device/registers.h"
#include "harness/mask_bits.h"
#include "harness/measure.h"
#include "harness/messages.h"
#include "qxm/qxm.h"

namespace {

constexpr float kProductId = 17.0f;
constexpr float kProductIdTolerance = 1e-5f;

}  // namespace

uint32_t OpenDevice(TestContext* context) {
  context->isMax = 0;
  context->handle = 0;

  int h = 0;
  int code = OpenDeviceLink("z5 device type", "usb connection", "any identifier", &h);
  if (code != 0) {
    SetFailureSource(context, kSourceLink);
    char piece[kTextCapacity];
    TextFormat(piece, sizeof piece, "No Quenloxs found (%i)", code);
    TextCopy(context->Msg, piece);
    context->EL = kLevelFatal;
    return 1;
  }
  context->usbHandle = h;
  context->handle = h;

  code = WriteU32(context->handle, kRegStreamStop, 0);
  if (code != 0) return FailComm(context, code);
  code = WriteU16(context->handle, kRegAnalogSetup, 1);
  if (code != 0) return FailComm(context, code);
  if ((context->mask & kMaskJig) != 0) {
    // The jig's source starts from 0 V before any test drives it.
    code = WriteFloat(context->handle, kRegJigSource, 0.0f);
    if (code != 0) return FailComm(context, code);
  }

  FeedbackFrame frames[2];
  frames[0].Set(FrameDirection::Read, kRegProductId, 2, FrameDataType::U32);
  frames[1].Set(FrameDirection::Read, kRegEdition, 2, FrameDataType::U32);
  code = FeedbackExchange(context->handle, 2, frames);
  if (code != 0) return FailComm(context, code);

  uint32_t idBits = frames[0].U32(0);
  uint32_t edition = frames[1].U32(0);
  float productId = 0;
  std::memcpy(&productId, &idBits, sizeof productId);
  // NaN compares false both ways: test for acceptance, not for rejection.
  const bool known = std::fabs(productId - kProductId) <= kProductIdTolerance;
  MeasureJudged(context, "Product ID", productId, "", kProductId - kProductIdTolerance,
                kProductId + kProductIdTolerance, known);
  if (!known) {
    char piece[kPieceCapacity];
    TextCopy(context->Msg, "Can not process HW ID: ");
    TextFormat(piece, sizeof piece, "%u,", edition & 0xFFFFu);
    TextAppend(context->Msg, piece);
    context->EL = kLevelFatal;
    return 1;
  }

  TextCopy(context->Msg, "Quenlox Z5");
  if ((edition & 1u) != 0) {
    TextAppend(context->Msg, "-Max");
    context->isMax = 1;
  }
  TextAppend(context->Msg, " Found");
  context->identity.editionKnown = true;
  context->EL = kLevelPassed;
  return 0;
}

void AppendOpenDeviceLimits(std::string* text) {
  AppendLimit(text, "open.ProductId", kProductId);
  AppendLimit(text, "open.ProductIdTolerance", kProductIdTolerance);
}
