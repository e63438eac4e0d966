// ZPLR_TRACE: every transfer with the box, one line each, on demand.
#pragma once

#include "zPLR_host.h"

namespace zplr::platform {

// True when ZPLR_TRACE asks for a trace ("1": stderr; anything else but
// "0": a file to append to). Read once.
bool TraceWanted();

// The tracer around `inner`, one per backend, kept for the process's life.
ZlDriverBackend &Traced(ZlDriverBackend &inner);

}  // namespace zplr::platform
