#!/usr/bin/env python3
"""zlbox monitor through a pipe, as a script sees it.

  zlbox_live.py ZLBOX pipe   lines arrive while the process runs; Ctrl-C ends it cleanly
  zlbox_live.py ZLBOX json   every line is a JSON object; the call's number and keys are there
"""
import json
import signal
import subprocess
import sys
import time

zlbox, mode = sys.argv[1], sys.argv[2]
demo = ["--demo-call", "02155501234", "--demo-keys", "12#"]


def fail(why):
    print("FAIL: " + why)
    sys.exit(1)


if mode == "pipe":
    p = subprocess.Popen([zlbox, "monitor"] + demo, stdout=subprocess.PIPE, text=True)
    start = time.monotonic()
    seen = []
    for line in p.stdout:
        seen.append((round(time.monotonic() - start, 3), line.rstrip()))
        print(seen[-1])
        if line.rstrip().endswith("key #"):
            break
    else:
        fail("no 'key #' line")
    # Every line so far came while zlbox still ran: it runs until Ctrl-C.
    if p.poll() is not None:
        fail("zlbox ended before its lines were read")
    if not any(text.endswith("caller ID 02155501234") for _, text in seen):
        fail("no caller ID line")
    p.send_signal(signal.SIGINT)
    rest = p.stdout.read()
    rc = p.wait(timeout=10)
    print(rest)
    if rc != 0:
        fail("exit status %d after Ctrl-C" % rc)
    if not rest.rstrip().endswith(" end"):
        fail("no 'end' line after Ctrl-C")
elif mode == "json":
    out = subprocess.run([zlbox, "monitor", "--json", "--seconds", "2.5"] + demo, capture_output=True,
                         text=True, timeout=30)
    if out.returncode != 0:
        fail("exit status %d" % out.returncode)
    events = [json.loads(line) for line in out.stdout.splitlines()]
    for e in events:
        if not isinstance(e.get("time"), str) or not isinstance(e.get("event"), str):
            fail("no time or event: %r" % e)
    numbers = [e["number"] for e in events if e["event"] == "caller ID"]
    keys = "".join(e["key"] for e in events if e["event"] == "key")
    if numbers != ["02155501234"]:
        fail("caller IDs %r" % numbers)
    if keys != "12#":
        fail("keys %r" % keys)
    if not any(e["event"] == "ring" for e in events) or events[-1]["event"] != "end":
        fail("no ring, or not ended: %r" % events)
    print("%d events, number %s, keys %s" % (len(events), numbers[0], keys))
else:
    fail("unknown mode " + mode)
