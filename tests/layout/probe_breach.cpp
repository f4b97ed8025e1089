// Compiled with the device library's include roots alone: the device link
// sits below the harness, so this include must not be found.
#include "harness/harness.h"
