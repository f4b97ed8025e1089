#include "harness/context.h"

const char* const kStatusNames[kLevelCount] = {"-",       "Running", "Passed",
                                               "Warning", "Error",   "Fatal"};

const char* StatusName(uint32_t level) {
  // A test may leave any number in EL; the report must not read past the table.
  if (level >= kLevelCount) return "Unknown";
  return kStatusNames[level];
}

void SetServer(TestContext* context, ServerLink* link, ServerRelease release) {
  if (context == nullptr) return;
  if (context->server == link) {
    // The same link again: keep it, only the way to free it may change.
    context->serverRelease = release;
    return;
  }
  ReleaseServer(context);
  context->server = link;
  context->serverRelease = release;
}

void ReleaseServer(TestContext* context) {
  if (context == nullptr) return;
  ServerLink* link = context->server;
  ServerRelease release = context->serverRelease;
  // Cleared first, so that a release that looks at the context sees no link.
  context->server = nullptr;
  context->serverRelease = nullptr;
  // A link stored without a way to free it stays with whoever stored it.
  if (link != nullptr && release != nullptr) release(link);
}
