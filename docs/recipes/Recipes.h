// The recipes of the API reference's main page, each a function that the
// test suite runs against the virtual box.
#pragma once

#include <string>

class CZusb_IO;

namespace recipes {

// Opens the session of box `index` on the virtual box; returns the status
// word, or -1 when the box was not reached.
int RunAgainstVirtualBox(int index);

// Waits up to `waitMs` for a call, answers it, collects keys until '#' and
// hangs up. Returns the caller's number ("" when none came).
std::string TakeIncomingCall(CZusb_IO &box, int waitMs, std::string &keys);

// Dials `number` and waits up to `waitMs` for the outcome: "answered",
// "busy", or "no answer"; hangs up.
std::string DialAndDetectBusy(CZusb_IO &box, const char *number, int waitMs);

// Records the answered call to `path` for `seconds`, or until the caller
// hangs up; returns the file's size or a negative result.
int RecordCall(CZusb_IO &box, const char *path, int seconds);

// Takes the line, plays the WAV file `path` to its end and hangs up; returns
// 1, or the failing member's result.
int PlayGreeting(CZusb_IO &box, const char *path);

}  // namespace recipes
