#include "harness/messages.h"

#include "base/text.h"

uint32_t FailComm(TestContext* context, int code) {
  char piece[kPieceCapacity];
  TextCopy(context->Msg, "Comm Error: ");
  TextFormat(piece, sizeof piece, "(%i)", code);
  TextAppend(context->Msg, piece);
  context->EL = kLevelFatal;
  context->failureSource = kSourceLink;
  return 1;
}

uint32_t Finish(TestContext* context, uint32_t level, const char* text) {
  TextCopy(context->Msg, text);
  context->EL = level;
  return level == kLevelPassed ? 0 : 1;
}
