#!/usr/bin/env python3
"""zlbox monitor through a pipe, as a script sees it.

  zlbox_live.py ZLBOX pipe   lines arrive while the process runs; Ctrl-C ends it cleanly
  zlbox_live.py ZLBOX json   every line is a JSON object; the call's number, keys and hang-up are there
  zlbox_live.py ZLBOX calls  a served box: each call shows its caller ID, the same number again too
  zlbox_live.py ZLBOX unanswered  a served box: a call that only rang ends with its hang-up, too
"""
import os
import tempfile
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


def monitor_served(script_text, seconds):
    """zlbox monitor --json for `seconds` on a box served with this script."""
    with tempfile.TemporaryDirectory() as d:
        sock = os.path.join(d, "s.sock")
        script = os.path.join(d, "calls.txt")
        with open(script, "w") as f:
            f.write(script_text)
        server = subprocess.Popen([zlbox, "serve", "--listen", "unix:" + sock, "--script", script],
                                  stdout=subprocess.DEVNULL)
        try:
            out = subprocess.run([zlbox, "monitor", "--json", "--seconds", str(seconds)], capture_output=True,
                                 text=True, timeout=seconds + 50, env=dict(os.environ, ZPLR_DRIVER="unix:" + sock))
        finally:
            server.terminate()
            server.wait(timeout=10)
    return out, [json.loads(line) for line in out.stdout.splitlines()]


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
    out = subprocess.run([zlbox, "monitor", "--json", "--seconds", "3.6"] + demo, capture_output=True,
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
    order = [e["event"] for e in events if e["event"] in ("caller ID", "key", "hang-up")]
    if order[-1] != "hang-up" or order.count("hang-up") != 1:
        fail("the hang-up is not the call's last event: %r" % order)
    print("%d events, number %s, keys %s" % (len(events), numbers[0], keys))
elif mode == "calls":
    out, events = monitor_served("0.5/1.5 ring 777\n", 4)
    rings = sum(1 for e in events if e["event"] == "ring")
    numbers = [e["number"] for e in events if e["event"] == "caller ID"]
    # The monitor may end between a ring and its number's report.
    if rings < 2 or numbers not in (["777"] * rings, ["777"] * (rings - 1)):
        fail("%d rings, caller IDs %r\n%s" % (rings, numbers, out.stderr))
    print("%d calls, each with its caller ID" % rings)
elif mode == "unanswered":
    # A call that only rings ends with its hang-up (an answered one's is
    # the demo's).
    out, events = monitor_served("0.5 ring 777\n1 hangup\n", 10)
    seen = [(e["event"], e.get("number", e.get("answered"))) for e in events
            if e["event"] in ("ring", "caller ID", "hang-up")]
    want = [("ring", None), ("caller ID", "777"), ("hang-up", False)]
    if seen != want:
        fail("events %r\n%s" % (seen, out.stderr))
    print("the unanswered call ended with its hang-up")
else:
    fail("unknown mode " + mode)
