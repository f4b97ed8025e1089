// One-line register access: each helper builds its frames, makes exactly one
// feedback exchange and returns its code unchanged (0 = success). None of them
// retries, waits or prints.
#pragma once

#include <cstdint>

// Reads the float in the two registers from address. The out value receives
// whatever the frame holds after the exchange, also on failure; use it only
// when the code is 0. A null out pointer is refused before anything is sent.
int32_t ReadFloat(int handle, int address, float* value);
int32_t ReadU32(int handle, int address, uint32_t* value);

int32_t WriteU32(int handle, int address, uint32_t value);
int32_t WriteFloat(int handle, int address, float value);
int32_t WriteU16(int handle, int address, uint16_t value);

// Writes valueA to register 2100 + line, then valueB to 2000 + line, in one
// exchange; each value is cut to its low 16 bits.
int32_t WriteLinePair(int handle, int line, int32_t valueA, int32_t valueB);

// Writes one channel's four settings in one exchange, in this order:
// 40500 + channel <- value40500, 41000 + channel <- value41000,
// 41500 + channel <- value41500, 40000 + channel <- value40000 (note the
// argument order differs). Each value is cut to its low 16 bits.
int32_t ConfigureChannel(int handle, int channel, int32_t value40500, int32_t value41000,
                         int32_t value40000, int32_t value41500);

// Values of a channel's setup.
constexpr int32_t kRange10V = 0;       // 40500: the 10 V range
constexpr int32_t kResolutionHs = 8;   // 41000: the HS converter
constexpr int32_t kResolutionHr = 12;  // 41000: the HR converter ("-Max" edition)
constexpr int32_t kSingleEnded = 199;  // 40000: the input measured against ground
constexpr int32_t kSettlingUsual = 4;  // 41500: the usual settling
// The setup most readings use: the 10 V range on the HS converter, against
// ground, the usual settling.
int32_t ConfigureUsualChannel(int handle, int channel);
