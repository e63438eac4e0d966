#include "platform/Driver.h"

#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstring>
#include <vector>

namespace zplr::platform {
namespace {

// The size field must hold the structure's own size for this build: 5 with
// 32-bit packing, 8 on 64-bit, where 5 is refused as an invalid buffer.
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == (sizeof(void *) == 8 ? 8 : 5));
static_assert(sizeof(ZlGuid) == sizeof(GUID));

GUID ToGuid(const ZlGuid &g)
{
    GUID out;
    out.Data1 = g.Data1;
    out.Data2 = g.Data2;
    out.Data3 = g.Data3;
    std::memcpy(out.Data4, g.Data4, sizeof out.Data4);
    return out;
}

HANDLE ToHandle(ZlHandle h) { return reinterpret_cast<HANDLE>(h); }

bool Usable(ZlHandle h) { return h != ZL_INVALID_HANDLE && h != 0; }

int Result(BOOL ok, DWORD got, unsigned *done)
{
    if (done)
        *done = ok ? got : 0;
    return ok ? 1 : 0;
}

// The interface set is taken anew for every member: each call stands alone,
// and a box plugged in between two calls is seen by the next walk.
class DeviceInfoSet {
public:
    explicit DeviceInfoSet(const GUID &cls)
        : Set_(SetupDiGetClassDevsA(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE))
    {
    }
    ~DeviceInfoSet()
    {
        if (Set_ != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(Set_);
    }
    DeviceInfoSet(const DeviceInfoSet &) = delete;
    DeviceInfoSet &operator=(const DeviceInfoSet &) = delete;

    bool Valid() const { return Set_ != INVALID_HANDLE_VALUE; }
    HDEVINFO Get() const { return Set_; }

private:
    HDEVINFO Set_;
};

class Win32Backend final : public ZlDriverBackend {
public:
    int EnumInterface(const ZlGuid &cls, unsigned index, char *path, size_t pathSize,
                      size_t *needed) override
    {
        if (needed)
            *needed = 0;
        const GUID guid = ToGuid(cls);
        DeviceInfoSet set(guid);
        // Without a set there is nothing to walk, now or at a later member.
        if (!set.Valid())
            return ZL_ENUM_NO_MORE;

        SP_DEVICE_INTERFACE_DATA data{};
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set.Get(), nullptr, &guid, index, &data))
            return GetLastError() == ERROR_NO_MORE_ITEMS ? ZL_ENUM_NO_MORE : ZL_ENUM_FAILED;

        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailA(set.Get(), &data, nullptr, 0, &size, nullptr);
        const DWORD header = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
        if (size <= header)
            return ZL_ENUM_FAILED;
        // DWORD elements keep the structure aligned.
        std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD));
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A *>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(set.Get(), &data, detail, size, nullptr, nullptr))
            return ZL_ENUM_FAILED;

        const char *found = detail->DevicePath;
        const size_t length = strnlen(found, size - header);
        if (length == size - header)
            return ZL_ENUM_FAILED;  // not terminated within what it reported
        if (needed)
            *needed = length + 1;
        if (path && length + 1 <= pathSize)
            std::memcpy(path, found, length + 1);
        return ZL_ENUM_OK;
    }

    ZlHandle Open(const char *path) override
    {
        if (!path)
            return ZL_INVALID_HANDLE;
        HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        return h == INVALID_HANDLE_VALUE ? ZL_INVALID_HANDLE : reinterpret_cast<ZlHandle>(h);
    }

    int Read(ZlHandle h, void *buf, unsigned len, unsigned *done) override
    {
        DWORD got = 0;
        BOOL ok = Usable(h) && ReadFile(ToHandle(h), buf, len, &got, nullptr);
        return Result(ok, got, done);
    }

    int Write(ZlHandle h, const void *buf, unsigned len, unsigned *done) override
    {
        DWORD put = 0;
        BOOL ok = Usable(h) && WriteFile(ToHandle(h), buf, len, &put, nullptr);
        return Result(ok, put, done);
    }

    int Control(ZlHandle h, unsigned code, const void *in, unsigned inLen, void *out,
                unsigned outLen, unsigned *done) override
    {
        DWORD got = 0;
        BOOL ok = Usable(h) && DeviceIoControl(ToHandle(h), code, const_cast<void *>(in), inLen, out,
                                               outLen, &got, nullptr);
        return Result(ok, got, done);
    }

    // The handles are synchronous, and CancelIo would cancel only the
    // calling thread's own requests. CancelIoEx with no OVERLAPPED cancels
    // every request on the handle, the blocked ReadFile of another thread
    // included (Vista and later), provided the driver lets its request be
    // cancelled. A read that has not yet started when this runs is not
    // touched: callers that race with it cancel again.
    void CancelIo(ZlHandle h) override
    {
        if (Usable(h))
            CancelIoEx(ToHandle(h), nullptr);
    }

    void Close(ZlHandle h) override
    {
        if (Usable(h))
            CloseHandle(ToHandle(h));
    }
};

}  // namespace

ZlDriverBackend &PlatformDriver()
{
    // Never destroyed: service threads may still call it while the process
    // exits.
    static Win32Backend *backend = new Win32Backend;
    return *backend;
}

}  // namespace zplr::platform
