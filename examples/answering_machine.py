#!/usr/bin/env python3
"""Answering machine: waits for a call, answers, plays a greeting, records
the caller's message until '#', the caller hangs up or time runs out, and
prints the caller's number and the keys pressed.

    answering_machine.py [--device N] [--greeting FILE] [--message FILE]
                         [--seconds S] [--virtual]

The greeting is a WAV file of the library's layout (8 kHz A-law mono,
48-byte header); without one a short beep is played from memory.
--virtual plugs in the virtual box of the test library named by
ZPLR_TESTBOX: its line rings with 13800138000 and the caller presses 5 and #
while the message records.
"""
import argparse
import ctypes
import math
import os
import sys

import zplr


def beep(seconds: float = 0.5, hz: float = 1000.0) -> bytes:
    """A sine as 8 kHz A-law samples."""
    def alaw(x: int) -> int:
        sign = 0x80 if x >= 0 else 0
        x = min(abs(x), 32635) >> 3
        if x < 32:
            code = x >> 1
        else:
            exp = x.bit_length() - 5
            code = (exp << 4) | ((x >> exp) & 0x0F)
        return (code | sign) ^ 0x55
    n = int(seconds * 8000)
    return bytes(alaw(int(8000 * math.sin(2 * math.pi * hz * i / 8000))) for i in range(n))


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--device", type=int, default=0)
    ap.add_argument("--greeting")
    ap.add_argument("--message", default="message.wav")
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--wait", type=float, default=None, help="seconds to wait for a call")
    ap.add_argument("--virtual", action="store_true")
    args = ap.parse_args()

    testbox = None
    if args.virtual:
        zplr.lib()
        testbox = ctypes.CDLL(os.environ["ZPLR_TESTBOX"])
        testbox.zplr_testbox_ring.argtypes = [ctypes.c_int32, ctypes.c_char_p, ctypes.c_int32]
        testbox.zplr_testbox_press_keys.argtypes = [ctypes.c_int32, ctypes.c_char_p]
        testbox.zplr_testbox_plug(args.device)

    with zplr.Box(args.device) as box:
        if not box.connected:
            print(f"device {args.device}: box not reached", file=sys.stderr)
            return 1
        print(f"device {args.device}: waiting for a call", flush=True)
        if testbox:
            testbox.zplr_testbox_ring(args.device, b"13800138000", 1)
        number = box.wait_for_call(timeout=args.wait)
        print(f"caller: {number or '(unknown)'}", flush=True)
        box.pick_up()
        if args.greeting:
            box.play(args.greeting)
        else:
            box.play_bytes(beep())
        print("greeting played", flush=True)
        if testbox:
            testbox.zplr_testbox_press_keys(args.device, b"5#")
        size = box.record(args.message, seconds=args.seconds, until_key="#")
        print(f"message: {args.message}, {max(size - 48, 0) / 8000:.1f} s", flush=True)
        print(f"keys: {box.keys()}")
        if box.off_hook:
            box.put_down()
    return 0


if __name__ == "__main__":
    sys.exit(main())
