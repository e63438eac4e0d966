#include "platform/File.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace zplr::platform {
namespace {

struct Identity {
    DWORD Volume = 0, High = 0, Low = 0;
    bool operator==(const Identity &o) const { return Volume == o.Volume && High == o.High && Low == o.Low; }
};

// A file on a disk, not a directory: what a handle must be to be taken.
bool RegularFile(HANDLE h, Identity *id)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return false;
    if (id)
        *id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

std::FILE *AsStream(HANDLE h, int flags, const char *mode)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags);
    if (fd == -1) {
        CloseHandle(h);
        return nullptr;
    }
    std::FILE *f = _fdopen(fd, mode);
    if (!f)
        _close(fd);
    return f;
}

}  // namespace

std::FILE *OpenRecordingFile(const char *path, bool &created)
{
    created = false;
    // A look without access rights first: a device or pipe is never opened
    // for writing.
    HANDLE probe = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    Identity before;
    bool exists = false;
    if (probe != INVALID_HANDLE_VALUE) {
        const bool regular = RegularFile(probe, &before);
        CloseHandle(probe);
        if (!regular)
            return nullptr;
        exists = true;
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
        return nullptr;
    }
    // Share-deny-write: others may read the recording, not write into it.
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           exists ? OPEN_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    Identity now;
    if (!RegularFile(h, &now) || (exists && !(now == before)) || !SetEndOfFile(h)) {
        CloseHandle(h);
        if (!exists)
            DeleteFileA(path);
        return nullptr;
    }
    created = !exists;
    return AsStream(h, _O_RDWR | _O_BINARY, "w+b");
}

void CloseAndRemoveCreated(std::FILE *file, const char *path)
{
    Identity mine;
    const bool known = RegularFile(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file))), &mine);
    std::fclose(file);
    if (!known)
        return;
    HANDLE h = CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    Identity there;
    if (RegularFile(h, &there) && there == mine) {
        FILE_DISPOSITION_INFO gone{TRUE};
        SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);
    }
    CloseHandle(h);
}

std::FILE *OpenFileForReading(const char *path, uint64_t &length)
{
    length = 0;
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return nullptr;
    LARGE_INTEGER size;
    if (!RegularFile(h, nullptr) || !GetFileSizeEx(h, &size)) {
        CloseHandle(h);
        return nullptr;
    }
    length = static_cast<uint64_t>(size.QuadPart);
    return AsStream(h, _O_RDONLY | _O_BINARY, "rb");
}

bool SeekFile(std::FILE *file, uint64_t offset)
{
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0;
}

}  // namespace zplr::platform
