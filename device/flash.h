// The device's flash through its register interface. Every erase and every
// write chunk is preceded, in the same exchange, by the key of the region
// touched. Each operation stops at the first failing exchange and returns its
// code; only WriteFlashBytes tries again, to put back a page it has erased.
// There is no wait after an erase.
#pragma once

#include <cstdint>

// Erases the 4 KiB page at address (one exchange).
int32_t EraseFlashPage(int handle, uint32_t key, uint32_t address);

// Writes length bytes from data at address, 32 bytes per exchange. Returns
// kLinkFlashBadArgument (1) for an odd length, without any exchange; length 0
// makes no exchange and returns 0. Writing can only clear bits: erase first.
int32_t WriteFlash(int handle, uint32_t key, uint32_t address, uint32_t length,
                   const uint8_t* data);

// Reads length bytes at address into data: one exchange to set the key and the
// read pointer, then one per 32 bytes. A length that is not a multiple of 32
// has its tail read through one more 32-byte window, of which only the bytes
// asked for are copied; nothing is written past data + length.
int32_t ReadFlash(int handle, uint32_t key, uint32_t address, uint32_t length, uint8_t* data);

// Read-modify-write within one page: reads the page, erases it only when a bit
// must go from 0 to 1, and writes the whole page only when something changes.
// Returns kLinkFlashBadArgument (1) when the range leaves its page, without
// any exchange. After an erase, a failed erase or rewrite is tried again from
// the erase (three attempts, 100 ms apart on the platform clock), so that a
// dropped link does not leave the page blank; an erase that the device
// refuses on the first attempt returns at once. A write without an erase is
// tried again the same way, so that the page is not left half written.
int32_t WriteFlashBytes(int handle, uint32_t key, uint32_t address, uint32_t length,
                        const uint8_t* bytes);
