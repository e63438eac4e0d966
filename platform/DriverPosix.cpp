#include "platform/Driver.h"

namespace zplr::platform {
namespace {
// No kernel driver for the box exists here: nothing is ever present.
class NoBoxBackend final : public ZlDriverBackend {
public:
    int EnumInterface(const ZlGuid &, unsigned, char *, size_t, size_t *needed) override
    {
        if (needed)
            *needed = 0;
        return ZL_ENUM_NO_MORE;
    }
    ZlHandle Open(const char *) override { return ZL_INVALID_HANDLE; }
    int Read(ZlHandle, void *, unsigned, unsigned *done) override { return Fail(done); }
    int Write(ZlHandle, const void *, unsigned, unsigned *done) override { return Fail(done); }
    int Control(ZlHandle, unsigned, const void *, unsigned, void *, unsigned, unsigned *done) override
    {
        return Fail(done);
    }
    void CancelIo(ZlHandle) override {}
    void Close(ZlHandle) override {}

private:
    static int Fail(unsigned *done)
    {
        if (done)
            *done = 0;
        return 0;
    }
};
}  // namespace

ZlDriverBackend &PlatformDriver()
{
    // Never destroyed: service threads may still call it while the process
    // exits.
    static NoBoxBackend *backend = new NoBoxBackend;
    return *backend;
}

}  // namespace zplr::platform
