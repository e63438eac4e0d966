/* zPLR host hooks: what an embedding application or a test may replace.
 *
 * The library reaches boxes only through a driver backend and shows its few
 * messages only through a message handler. Both are process-wide. Plain C++11.
 */
#ifndef ZPLR_HOST_H
#define ZPLR_HOST_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(ZPLR_BUILDING)
#    define ZPLR_API __declspec(dllexport)
#  else
#    define ZPLR_API __declspec(dllimport)
#  endif
#else
#  define ZPLR_API __attribute__((visibility("default")))
#endif

/* Handle of an open device or pipe; ZL_INVALID_HANDLE when none. */
typedef intptr_t ZlHandle;
#define ZL_INVALID_HANDLE ((ZlHandle)-1)

/* Interface class GUID, laid out as the Windows GUID. */
struct ZlGuid {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

/* Results of ZlDriverBackend::EnumInterface. */
enum {
    ZL_ENUM_OK = 1,
    ZL_ENUM_NO_MORE = 0,    /* past the last member (ERROR_NO_MORE_ITEMS) */
    ZL_ENUM_FAILED = -1     /* this member failed; later ones may not */
};

/* The box's driver as the library sees it: device-interface discovery by
 * class, open by path, synchronous transfers and control requests. Every
 * member is called from the library's service threads, several at once. */
class ZlDriverBackend {
public:
    virtual ~ZlDriverBackend() {}

    /* Member `index` of the present interfaces of `cls`. On ZL_ENUM_OK the
     * device path, NUL-terminated, is copied to `path` when it fits in
     * `pathSize` bytes; `*needed` always receives the size it takes with its
     * NUL. A path that does not fit leaves `path` untouched. */
    virtual int EnumInterface(const ZlGuid &cls, unsigned index, char *path,
                              size_t pathSize, size_t *needed) = 0;

    /* Opens a device path or a pipe path ("<device path>\ZLDrvN"). */
    virtual ZlHandle Open(const char *path) = 0;

    /* Synchronous transfers; 1 on success, 0 on failure. A read of pipe 0
     * blocks until a report arrives, the box goes away or CancelIo. */
    virtual int Read(ZlHandle h, void *buf, unsigned len, unsigned *done) = 0;
    virtual int Write(ZlHandle h, const void *buf, unsigned len, unsigned *done) = 0;
    virtual int Control(ZlHandle h, unsigned code, const void *in, unsigned inLen,
                        void *out, unsigned outLen, unsigned *done) = 0;

    /* Makes a transfer blocked on `h` in another thread fail now. */
    virtual void CancelIo(ZlHandle h) = 0;
    virtual void Close(ZlHandle h) = 0;
};

/* Chooses the backend for the whole process; NULL restores the platform's
 * own (Windows: the box's driver; elsewhere one that finds no box). The
 * backend must outlive every session that uses it. Choose it before the
 * first InitialUSB_IOEx; changing it while sessions run is not supported. */
ZPLR_API void ZlSetDriverBackend(ZlDriverBackend *backend);

/* Message handler: receives each message text in code page 936 and the
 * message-box style (0x40000 = topmost); it blocks as long as the message is
 * shown. NULL restores the default (Windows: a message box; elsewhere the
 * text on stderr as UTF-8). */
typedef void (*ZlMessageHandler)(const char *textCp936, unsigned style);
ZPLR_API void ZlSetMessageHandler(ZlMessageHandler handler);

#endif
