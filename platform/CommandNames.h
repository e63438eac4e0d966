// Names of the box's command and report codes, for traces and for tools
// that show what an application sends.
#pragma once

#include <cstdint>

namespace zplr::platform {

// The command's name ("PickUp"), or "unlisted command".
const char *CommandName(uint8_t code);
// What a report is ("incoming call"), or "unlisted report".
const char *ReportName(uint8_t code);

}  // namespace zplr::platform
