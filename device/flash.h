// The device's flash through its register interface. Every erase and every
// write chunk is preceded, in the same exchange, by the key of the region
// touched. Each operation stops at the first failing exchange and returns its
// code; only WriteFlashBytes tries again, to finish a page it has begun.
// There is no wait after an erase. A page write begun is written to its end:
// a stop request (platform/stop_request.h) waits for it.
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
// any exchange. Once the erase or write has gone out, the update is not cut
// by a stop request, and a failure of the link or a refusal by the device
// (neither proves that nothing was erased) is mended: the device is opened
// again the way its handle was opened (device/device_link.h; the same handle
// when that is not known) and the page put back from the image, for up to
// 10 s on the platform clock. Then the last code is returned, and
// *pageAtRisk (when given) says whether the page may be erased or half
// written: false when the update failed before anything was erased or
// written, or succeeded.
int32_t WriteFlashBytes(int handle, uint32_t key, uint32_t address, uint32_t length,
                        const uint8_t* bytes);
int32_t WriteFlashBytes(int handle, uint32_t key, uint32_t address, uint32_t length,
                        const uint8_t* bytes, bool* pageAtRisk);
