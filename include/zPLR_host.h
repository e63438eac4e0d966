/* zPLR host hooks: what an embedding application or a test may replace.
 *
 * The library reaches boxes only through a driver backend and shows its few
 * messages only through a message handler. Both are process-wide. Plain C++11.
 */
/** @file zPLR_host.h
 *  @brief Host hooks: the driver backend and the message handler.
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
/** @def ZPLR_API
 *  @brief Marks what the library exports. */

/** @brief Handle of an open device or pipe; ZL_INVALID_HANDLE when none. */
typedef intptr_t ZlHandle;
/** @brief The handle of nothing open. */
#define ZL_INVALID_HANDLE ((ZlHandle)-1)

/** @brief Interface class GUID, laid out as the Windows GUID. */
struct ZlGuid {
    uint32_t Data1;   /**< @brief First 4 bytes. */
    uint16_t Data2;   /**< @brief Next 2 bytes. */
    uint16_t Data3;   /**< @brief Next 2 bytes. */
    uint8_t Data4[8]; /**< @brief Last 8 bytes. */
};

/** @brief Results of ZlDriverBackend::EnumInterface. */
enum {
    ZL_ENUM_OK = 1,         /**< @brief The member exists. */
    ZL_ENUM_NO_MORE = 0,    /**< @brief Past the last member (ERROR_NO_MORE_ITEMS). */
    ZL_ENUM_FAILED = -1     /**< @brief This member failed; later ones may not. */
};

/** @brief The box's driver as the library sees it: device-interface
 * discovery by class, open by path, synchronous transfers and control
 * requests.
 *
 * Every member is called from the library's service threads, several at
 * once, so every member must be thread-safe. See @ref grp_host.
 */
class ZlDriverBackend {
public:
    /** @brief Destroys the backend. */
    virtual ~ZlDriverBackend() {}

    /** @brief Looks up member `index` of the present interfaces of `cls`.
     *  @param cls Interface class (one per device index).
     *  @param index Member index, from 0.
     *  @param path Receives the device path, NUL-terminated, on ZL_ENUM_OK
     *  when it fits; untouched otherwise.
     *  @param pathSize Bytes at path.
     *  @param needed Always receives the path's size with its NUL.
     *  @return ZL_ENUM_OK, ZL_ENUM_NO_MORE or ZL_ENUM_FAILED. */
    virtual int EnumInterface(const ZlGuid &cls, unsigned index, char *path,
                              size_t pathSize, size_t *needed) = 0;

    /** @brief Opens a device path or a pipe path.
     *  @param path A device path, or a pipe path ("<device path>\\ZLDrv0"
     *  to "\\ZLDrv3").
     *  @return The handle; ZL_INVALID_HANDLE when it cannot be opened. */
    virtual ZlHandle Open(const char *path) = 0;

    /** @brief Reads one transfer, synchronously. A read of pipe 0 blocks
     *  until a report arrives, the box goes away or CancelIo().
     *  @param h Open pipe.
     *  @param buf len bytes.
     *  @param len Bytes wanted.
     *  @param done Receives the bytes read.
     *  @return 1 success; 0 failure. */
    virtual int Read(ZlHandle h, void *buf, unsigned len, unsigned *done) = 0;
    /** @brief Writes one transfer, synchronously.
     *  @param h Open pipe.
     *  @param buf len bytes.
     *  @param len Bytes to write.
     *  @param done Receives the bytes written.
     *  @return 1 success; 0 failure. */
    virtual int Write(ZlHandle h, const void *buf, unsigned len, unsigned *done) = 0;
    /** @brief Sends a driver control request.
     *
     *  The report start (0x8000200C) and stream start (0x80002010) carry
     *  four words: 0, the size of a block, the block's address and a last
     *  word (0x472, 0x471). Words are 32-bit little-endian. A 32-bit build
     *  sends them as 16 bytes; a 64-bit build sends 20: words 0 and 1 at
     *  offsets 0 and 4, the address as 64 bits at offset 8, the last word at
     *  offset 16. The block is read through its address while the request
     *  runs (stream start: the 6 bytes 00 00 00 40 00 80; report start: the
     *  request's one output byte).
     *  @param h Open device or pipe.
     *  @param code Request code.
     *  @param in inLen bytes sent with it; may be null.
     *  @param inLen Bytes at in.
     *  @param out outLen bytes to receive; may be null.
     *  @param outLen Bytes at out.
     *  @param done Receives the bytes returned.
     *  @return 1 success; 0 failure. */
    virtual int Control(ZlHandle h, unsigned code, const void *in, unsigned inLen,
                        void *out, unsigned outLen, unsigned *done) = 0;

    /** @brief Makes a transfer blocked on `h` in another thread fail now.
     *  @param h Open device or pipe. */
    virtual void CancelIo(ZlHandle h) = 0;
    /** @brief Closes a handle.
     *  @param h Open device or pipe. */
    virtual void Close(ZlHandle h) = 0;
};

/** @brief Chooses the driver backend for the whole process.
 *  @param backend The backend; NULL restores the default: the boxes served
 *  at the address in the environment variable ZPLR_DRIVER when it is set,
 *  else the platform's own (Windows: the box's driver; elsewhere one that
 *  finds no box). It must outlive every
 *  session that uses it.
 *  @pre No session runs: choose it before the first
 *  CZusb_IO::InitialUSB_IOEx(). */
ZPLR_API void ZlSetDriverBackend(ZlDriverBackend *backend);

/** @brief Message handler: receives each message text in code page 936 and
 * the message-box style (0x40000 = topmost); the library's thread that shows
 * the message waits while the handler runs. */
typedef void (*ZlMessageHandler)(const char *textCp936, unsigned style);
/** @brief Chooses the message handler for the whole process.
 *  @param handler The handler; NULL restores the default (Windows: a message
 *  box; elsewhere the text on stderr as UTF-8). */
ZPLR_API void ZlSetMessageHandler(ZlMessageHandler handler);

#endif
