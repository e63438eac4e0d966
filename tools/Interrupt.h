// Ctrl-C and SIGTERM during a session: the command ends as at its own end
// (a recording stopped and completed, the line put down, --to written,
// temporary files removed), and zlbox exits with 128 + the signal.
#pragma once

namespace zlbox {

// From here on the first Ctrl-C or SIGTERM is only noted; a second one ends
// the process at once.
void CatchInterrupts();

// The signal noted, 0 when none came.
int Interruption();
inline bool Interrupted() { return Interruption() != 0; }

}  // namespace zlbox
