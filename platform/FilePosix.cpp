#include "platform/File.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zplr::platform {
namespace {

constexpr int NoWait = O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

bool SameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Clears O_NONBLOCK again: it only kept the open from waiting.
std::FILE *AsStream(int fd, const char *mode)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags != -1)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    std::FILE *f = fdopen(fd, mode);
    if (!f)
        close(fd);
    return f;
}

}  // namespace

std::FILE *OpenRecordingFile(const char *path, bool &created)
{
    created = false;
    int fd = open(path, O_RDWR | O_CREAT | O_EXCL | NoWait, 0666);
    if (fd >= 0) {
        created = true;
        return AsStream(fd, "w+b");
    }
    if (errno != EEXIST)
        return nullptr;
    // It exists: looked at before it is opened, so that a FIFO or a device
    // is never opened for writing. Whatever replaces it meanwhile is caught
    // by the second look, before anything is written or truncated.
    struct stat before;
    if (stat(path, &before) != 0 || !S_ISREG(before.st_mode))
        return nullptr;
    fd = open(path, O_RDWR | NoWait);
    if (fd < 0)
        return nullptr;
    struct stat now;
    if (fstat(fd, &now) != 0 || !S_ISREG(now.st_mode) || !SameFile(before, now) || ftruncate(fd, 0) != 0) {
        close(fd);
        return nullptr;
    }
    return AsStream(fd, "w+b");
}

void CloseAndRemoveCreated(std::FILE *file, const char *path)
{
    struct stat mine, there;
    const bool known = fstat(fileno(file), &mine) == 0;
    std::fclose(file);
    if (known && stat(path, &there) == 0 && SameFile(mine, there))
        unlink(path);
}

std::FILE *OpenFileForReading(const char *path, uint64_t &length)
{
    length = 0;
    const int fd = open(path, O_RDONLY | NoWait);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    length = static_cast<uint64_t>(st.st_size);
    return AsStream(fd, "rb");
}

bool SeekFile(std::FILE *file, uint64_t offset)
{
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

}  // namespace zplr::platform
