// The one road to the device: packs a list of frames into one Modbus feedback
// request (function 76), runs it through QXM_MBFBComm and unpacks the reply
// into the read frames.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/feedback_frame.h"
#include "qxm/modbus_wire.h"

// Packet layout.
constexpr size_t kFeedbackHeaderSize = 8;  // MBAP header (7 bytes) and function code
constexpr size_t kFeedbackRecordSize = 4;  // direction, address (2), count

// After a code whose lowest four bits are 3, or this code, the exchange reads
// the device's error registers once (kRegErrorDetail, 4 registers).
constexpr int32_t kFollowUpCode = 1211;
constexpr uint32_t kFollowUpRegisterCount = 4;

// Returns 0 when every read frame holds the values read; otherwise the
// library's code, unchanged, or a code of device/link_errors.h. A list that
// cannot be sent as it stands (see link_errors.h) is refused before anything
// is sent, and so is any exchange while a stop request waits outside an
// uncut scope (kLinkStopped, platform/stop_request.h). After a failed
// exchange the read frames keep what they held, and a follow-up read never
// changes the code returned.
int32_t FeedbackExchange(int handle, int frameCount, FeedbackFrame* frames);

// The exchange's two halves without the link (for measuring them):
// PackFeedbackRequest checks the list and packs it into packet
// (QXM_BUFFER_SIZE bytes), returning 0 and the reply data the read frames
// expect, or the code FeedbackExchange would; UnpackFeedbackReply decodes a
// reply in packet into the read frames, all or none.
int32_t PackFeedbackRequest(int frameCount, const FeedbackFrame* frames, uint8_t* packet,
                            size_t* replyData);
int32_t UnpackFeedbackReply(const uint8_t* packet, int frameCount, FeedbackFrame* frames,
                            size_t replyData);

// True for the codes after which the follow-up read is made.
bool NeedsFollowUp(int32_t code);
