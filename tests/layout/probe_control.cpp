// Compiled with the device library's include roots alone: its own headers are
// found, so the breach probe fails for the floor's sake and nothing else.
#include "device/registers.h"
