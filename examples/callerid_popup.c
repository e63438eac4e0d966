/* Caller-ID pop-up on the console, in C: waits for calls and prints each
 * caller's number with the time, then the keys pressed after answering,
 * until Ctrl-C or a given count of calls.
 *
 *   callerid_popup [--device N] [--calls N] [--virtual]
 *
 * --virtual (when built with the test box) plugs in a virtual box whose line
 * rings with 13800138000 and presses 1 2 3 # once answered.
 */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zPLR_c.h"
#ifdef ZPLR_WITH_TESTBOX
#  include "TestBox.h"
#endif

static volatile sig_atomic_t stop;

static void on_signal(int sig)
{
    (void)sig;
    stop = 1;
}

/* Key codes as the box reports them. */
static char key_char(uint8_t code)
{
    static const char chars[] = "?1234567890*#ABCD";
    return code < sizeof chars - 1 ? chars[code] : '?';
}

int main(int argc, char **argv)
{
    int device = 0, calls = 0, virt = 0, i, n;
    zplr_box *box;

    for (i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--device") && i + 1 < argc)
            device = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--calls") && i + 1 < argc)
            calls = atoi(argv[++i]);
        else if (!strcmp(argv[i], "--virtual"))
            virt = 1;
        else {
            fprintf(stderr, "usage: %s [--device N] [--calls N] [--virtual]\n", argv[0]);
            return 2;
        }
    }
#ifdef ZPLR_WITH_TESTBOX
    if (virt)
        zplr_testbox_plug(device);
#else
    if (virt) {
        fprintf(stderr, "built without the virtual box\n");
        return 2;
    }
#endif
    box = zplr_open(device);
    if (!box) {
        fprintf(stderr, "device index %d: 0 to 3\n", device);
        return 2;
    }
    signal(SIGINT, on_signal);
    zplr_initial_usb_io_ex(box, 0);
    for (i = 0; i < 100 && zplr_if_connect_usb(box) != 0; ++i)
        zplr_tel_sleep(box, 50);
    if (zplr_if_connect_usb(box) != 0) {
        fprintf(stderr, "device %d: box not reached\n", device);
        zplr_close(box);
        return 1;
    }
    printf("device %d: waiting for calls (Ctrl-C ends)\n", device);
    fflush(stdout);

    for (n = 1; !stop && (calls == 0 || n <= calls); ++n) {
        char hour[3], minute[3], second[3], keys[64];
        const char *number = "";
        size_t k = 0;
        uint8_t code[2];
#ifdef ZPLR_WITH_TESTBOX
        if (virt)
            zplr_testbox_ring(device, "13800138000", ZPLR_TESTBOX_MDMF);
#endif
        while (!stop && zplr_check_call_status(box) != 1)
            zplr_tel_sleep(box, 50);
        if (stop)
            break;
        /* The number follows the ring; a call without one shows as unknown. */
        for (i = 0; i < 60 && !*(number = zplr_read_str_call_nmb(box)); ++i)
            zplr_tel_sleep(box, 50);
        zplr_get_hour(box, hour);
        zplr_get_minute(box, minute);
        zplr_get_second(box, second);
        printf("call %d: %s at %s:%s:%s\n", n, *number ? number : "(unknown)", hour, minute,
               second);
        fflush(stdout);

        if (zplr_pick_up(box) != 1)
            continue;
#ifdef ZPLR_WITH_TESTBOX
        if (virt)
            zplr_testbox_press_keys(device, "123#");
#endif
        /* Keys until '#', at most 10 s. */
        for (i = 0; i < 200 && !stop && (k == 0 || keys[k - 1] != '#'); ++i) {
            if (zplr_get_dtmf_code(box, code) == 1) {
                if (k < sizeof keys - 1)
                    keys[k++] = key_char(code[0]);
            } else {
                zplr_tel_sleep(box, 50);
            }
        }
        keys[k] = 0;
        printf("keys: %s\n", keys);
        zplr_put_down(box);
        fflush(stdout);
    }
    zplr_close(box);
    return 0;
}
