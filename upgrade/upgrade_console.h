// The upgrade's console output: whole texts through the platform console.
// Numbers are formatted by the caller into a bounded text first (TextFormat).
#pragma once

// Writes a NUL-terminated text; a null text writes nothing.
void ConsoleText(const char* text);
