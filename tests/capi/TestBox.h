/* A virtual box for programs that use the library through its C interface:
 * tests in C and Python, and the examples. Test-only; plain C99.
 *
 * zplr_testbox_plug(0) makes the process's driver the virtual one (once, for
 * good) and plugs a box with a telephone line and identity records in at
 * index 0; from then on zplr_open(0) and zplr_initial_usb_io_ex() reach it.
 * Plug before the first session starts.
 */
#ifndef ZPLR_TESTBOX_H
#define ZPLR_TESTBOX_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(ZPLR_TESTBOX_BUILDING)
#    define ZPLR_TESTBOX_API __declspec(dllexport)
#  else
#    define ZPLR_TESTBOX_API __declspec(dllimport)
#  endif
#  define ZPLR_TESTBOX_CALL __cdecl
#else
#  define ZPLR_TESTBOX_API __attribute__((visibility("default")))
#  define ZPLR_TESTBOX_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Caller-ID formats of zplr_testbox_ring. */
#define ZPLR_TESTBOX_SDMF 0
#define ZPLR_TESTBOX_MDMF 1
#define ZPLR_TESTBOX_DIGITS 2

/* Index 0 to 3; anything else is ignored (0 for results). */
ZPLR_TESTBOX_API void ZPLR_TESTBOX_CALL zplr_testbox_plug(int32_t index);
ZPLR_TESTBOX_API void ZPLR_TESTBOX_CALL zplr_testbox_unplug(int32_t index);

/* The line: an incoming call with its caller ID, keys pressed by the far
 * end, the far end of an outgoing call answering or busy, the line released
 * from outside, the far end's voice (8 kHz A-law, starts when the call is
 * answered). */
ZPLR_TESTBOX_API void ZPLR_TESTBOX_CALL zplr_testbox_ring(int32_t index, const char *number,
                                                          int32_t format);
ZPLR_TESTBOX_API void ZPLR_TESTBOX_CALL zplr_testbox_press_keys(int32_t index, const char *keys);
ZPLR_TESTBOX_API void ZPLR_TESTBOX_CALL zplr_testbox_answer(int32_t index);
ZPLR_TESTBOX_API void ZPLR_TESTBOX_CALL zplr_testbox_busy(int32_t index);
ZPLR_TESTBOX_API void ZPLR_TESTBOX_CALL zplr_testbox_release(int32_t index);
ZPLR_TESTBOX_API void ZPLR_TESTBOX_CALL zplr_testbox_far_end(int32_t index, const uint8_t *alaw,
                                                             size_t count);
/* The flags word the box answers the flags request with. */
ZPLR_TESTBOX_API void ZPLR_TESTBOX_CALL zplr_testbox_set_flags(int32_t index, uint32_t flags);
/* 1 while the line is off hook, as the box sees it. */
ZPLR_TESTBOX_API int32_t ZPLR_TESTBOX_CALL zplr_testbox_off_hook(int32_t index);
/* The last number dialled, decoded; returns its length (truncated to
 * size - 1). */
ZPLR_TESTBOX_API int32_t ZPLR_TESTBOX_CALL zplr_testbox_last_dialled(int32_t index, char *out,
                                                                     int32_t size);

/* Command packets the box received: how many, and packet n (64 bytes;
 * returns 1, or 0 when there is no packet n). */
ZPLR_TESTBOX_API int32_t ZPLR_TESTBOX_CALL zplr_testbox_packet_count(int32_t index);
ZPLR_TESTBOX_API int32_t ZPLR_TESTBOX_CALL zplr_testbox_packet(int32_t index, int32_t n,
                                                               uint8_t *out);
ZPLR_TESTBOX_API void ZPLR_TESTBOX_CALL zplr_testbox_clear_packets(int32_t index);
/* Waits up to timeout_ms for at least n packets: 1 they came, 0 not. */
ZPLR_TESTBOX_API int32_t ZPLR_TESTBOX_CALL zplr_testbox_wait_packets(int32_t index, int32_t n,
                                                                     int32_t timeout_ms);
/* Sends a report (64 bytes) on the box's report pipe. */
ZPLR_TESTBOX_API void ZPLR_TESTBOX_CALL zplr_testbox_send_report(int32_t index,
                                                                 const uint8_t *report);
/* While on, the box withholds its replies. */
ZPLR_TESTBOX_API void ZPLR_TESTBOX_CALL zplr_testbox_withhold_replies(int32_t index, int32_t on);

/* Sound: unpaced makes both streams run as fast as the library takes them
 * (the default is real time). sound_out copies what reached the line into
 * its place in the first size bytes of out (the box keeps the last MiB;
 * older places are left as they are) and returns the whole count. */
ZPLR_TESTBOX_API void ZPLR_TESTBOX_CALL zplr_testbox_unpaced(int32_t index);
/* Bytes of line audio the box's sound-in FIFO lost to a slow reader. */
ZPLR_TESTBOX_API uint64_t ZPLR_TESTBOX_CALL zplr_testbox_sound_in_dropped(int32_t index);
ZPLR_TESTBOX_API size_t ZPLR_TESTBOX_CALL zplr_testbox_sound_out(int32_t index, uint8_t *out,
                                                                 size_t size);

#ifdef __cplusplus
}
#endif

#endif
