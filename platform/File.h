// Files opened at a caller's path: recordings and files to play. Only a
// regular file is ever taken, and nothing waits on a path: a FIFO, a device,
// a socket or a directory is refused without being opened for writing.
#pragma once

#include <cstdint>
#include <cstdio>

namespace zplr::platform {

// Opens `path` for a recording: an existing regular file, truncated, or a
// new one (`created` then true). Other processes may read it while it is
// open but not write it (Windows; elsewhere no lock is taken). Null when the
// path is not, or cannot become, a regular file.
std::FILE *OpenRecordingFile(const char *path, bool &created);

// Closes `file`, which OpenRecordingFile created at `path`, and removes it,
// unless the path has come to name another file meanwhile.
void CloseAndRemoveCreated(std::FILE *file, const char *path);

// Opens a regular file for reading with its length; null for anything else.
std::FILE *OpenFileForReading(const char *path, uint64_t &length);

// Positions `file` at `offset` from its start, also beyond 2 GB.
bool SeekFile(std::FILE *file, uint64_t offset);

}  // namespace zplr::platform
