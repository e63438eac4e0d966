#!/usr/bin/env python3
"""The README's shell blocks, run as written where a test can run them.

  readme_blocks.py SOURCE_DIR BUILD_DIR

Every sh block must parse, and the files it names must exist. These run for
real, in a scratch folder, with only /opt/zplr and the build folder put in
their place: the install (and the installed tree against the listing), the C
and Python examples against the installed tree, the monitor demo and the
served-box session.
"""
import os
import re
import shlex
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

src, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
readme = open(os.path.join(src, "README.md"), encoding="utf-8").read()
zlbox = os.path.join(build, "zlbox")
failures = []


def fail(why):
    failures.append(why)
    print("FAIL: " + why)


def blocks():
    """(info string, text) of each fenced block, also indented ones."""
    for m in re.finditer(r"^( *)```(\w*)\n(.*?)^\1```$", readme, re.S | re.M):
        indent = len(m.group(1))
        yield m.group(2), "\n".join(line[indent:] for line in m.group(3).splitlines())


def run(cmd, **kw):
    kw.setdefault("timeout", 120)
    return subprocess.run(cmd, shell=True, capture_output=True, text=True, executable="/bin/bash", **kw)


scratch = tempfile.mkdtemp(prefix="readme-")
prefix = os.path.join(scratch, "opt", "zplr")
env = {k: v for k, v in os.environ.items() if not k.startswith("ZPLR_")}
env["XDG_RUNTIME_DIR"] = scratch


def as_here(text):
    """A block's text for this tree: the prefix and the build folder."""
    text = text.replace("/opt/zplr", prefix)
    return re.sub(r"(?<![\w./-])build(?=[/ ]|$)", build, text, flags=re.M)


sh = [text for info, text in blocks() if info == "sh"]
if len(sh) < 6:
    fail("only %d sh blocks found" % len(sh))
for text in sh:
    r = run("bash -n", input=text)
    if r.returncode:
        fail("block does not parse:\n%s\n%s" % (text, r.stderr))
    commands = re.sub(r"(^|\s)#.*", "", text)  # comments name what a build makes
    for path in re.findall(r"(?:^|\s)((?:scripts|tests|cmake|\.ci|examples)/[\w./-]+)", commands):
        if not os.path.exists(os.path.join(src, path)):
            fail("block names %s, which does not exist" % path)

def phase(name):
    print("--", name, flush=True)


phase("install")
# The install, and what it installs against the listing.
install = next((t for t in sh if "cmake --install build --prefix /opt/zplr" in t), None)
if not install:
    fail("no install block")
else:
    line = next(l for l in install.splitlines() if l.startswith("cmake --install"))
    r = run(as_here(line.split("#")[0]), cwd=src, env=env, timeout=300)
    if r.returncode:
        fail("install: %s" % r.stderr)
    m = re.search(r"^installs\n\n```\n(.*?)```", readme, re.S | re.M)
    listed = []
    for entry in (m.group(1).splitlines() if m else []):
        listed += [t for t in entry.split() if re.match(r"(bin|include|lib)/", t)]
        if entry.startswith("include/zlsim/"):
            listed += ["include/zlsim/" + h for h in re.findall(r"\b\w+\.h\b", entry)]
        if "->" in entry:
            listed += ["lib/" + n for n in re.findall(r"libzPLR\.so[\w.]*", entry)]
    if len(listed) < 10:
        fail("the install listing names only %r" % listed)
    for name in listed:
        if not os.path.exists(os.path.join(prefix, name.rstrip("/"))):
            fail("listed but not installed: " + name)

    phase("examples")
    # The examples against the installed tree.
    example = next((t for t in sh if "callerid_popup.c" in t), None)
    if not example:
        fail("no build line for examples/callerid_popup.c")
    else:
        text = as_here(example).replace("-o callerid_popup", "-o %s/callerid_popup" % scratch)
        text = text.replace("./callerid_popup", "%s/callerid_popup" % scratch)
        text = text.replace("examples/answering_machine.py --virtual",
                            "examples/answering_machine.py --virtual --seconds 2 --message %s/m.wav" % scratch)
        r = run(text, cwd=src, env=env, timeout=120)
        if r.returncode or "call 1: 13800138000" not in r.stdout:
            fail("the C example:\n%s\n%s%s" % (text, r.stdout, r.stderr))

phase("monitor")
# The monitor demo, until Ctrl-C.
demo = re.search(r"^\$ (zlbox monitor [^\n]*)\n(.*?)\n\.\.\.\n(.*)", next(
    (t for _, t in blocks() if t.startswith("$ zlbox monitor")), ""), re.S)
if not demo:
    fail("no monitor example")
else:
    words = shlex.split(demo.group(1))
    p = subprocess.Popen([zlbox] + words[1:], env=env, stdout=subprocess.PIPE, text=True)
    seen = []
    end = time.monotonic() + 20
    for line in p.stdout:
        seen.append(line.split(" ", 1)[1].strip())
        if seen[-1] == "hang-up" or time.monotonic() > end:
            break
    p.send_signal(signal.SIGINT)
    rest = p.stdout.read()
    if p.wait(timeout=10) != 0 or not rest.strip().endswith("end"):
        fail("monitor did not end cleanly on Ctrl-C")
    shown = [l.split(" ", 1)[1] for l in (demo.group(2) + "\n" + demo.group(3)).splitlines()]
    for want in shown:
        if want not in seen:
            fail("monitor shows %r, not %r" % (seen, want))

phase("served")
# The served session, line by line.
served = next((t for _, t in blocks() if t.startswith("$ zlbox serve")), None)
if not served:
    fail("no served-box example")
else:
    os.chdir(scratch)
    # The caller's voice: 3 s of a loud 2 kHz square wave, 8 kHz A-law.
    sound = b"\xaa\xaa\x2a\x2a" * 6000
    fmt = struct.pack("<HHIIHHH", 6, 1, 8000, 8000, 1, 8, 0) + b"\0\0"
    body = b"WAVEfmt " + struct.pack("<I", 20) + fmt + b"data" + struct.pack("<I", len(sound)) + sound
    with open("hello.wav", "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", len(body)) + body)
    lines = [l[2:].split("  #")[0].strip() for l in served.splitlines() if l.startswith("$ ")]
    server = subprocess.Popen([zlbox] + lines[0].split()[1:], env=env, stdout=subprocess.PIPE, text=True)
    announced = [server.stdout.readline() for _ in range(2)]
    address = "unix:%s/zplr.sock" % scratch
    if announced[1].strip() != "ZPLR_DRIVER=" + address:
        fail("serve announces %r" % announced)
    env["ZPLR_DRIVER"] = address
    app = None
    try:
        for line in lines[2:]:
            words = line.rstrip("&").split()
            words[0] = zlbox
            if line.endswith("&"):
                app = subprocess.Popen(words, env=env, stdout=subprocess.PIPE, text=True)
                continue
            r = subprocess.run(words, env=env, capture_output=True, text=True, timeout=30)
            if r.returncode:
                fail("%s: exit %d %s" % (line, r.returncode, r.stderr))
            if words[2] == "ring" and app:
                # The application answers and starts recording.
                for out in app.stdout:
                    if out.startswith("StartReadSound"):
                        break
            if words[2] == "far-end":
                time.sleep(2.5)
        if app:
            out = app.stdout.read()
            levels = [float(m) for m in re.findall(r"bytes (-?[0-9.]+) dBm0", out)]
            if app.wait(timeout=30) != 0 or "caller hung up" not in out:
                fail("the application: %s" % out)
            if not levels or max(levels) < -40:
                fail("the far end sent mid-call was not heard: %r" % levels)
        if not os.path.getsize("played.wav") >= 48:
            fail("save-playback wrote nothing")
    finally:
        server.send_signal(signal.SIGINT)
        server.wait(timeout=10)

phase("web")
# The web phone's command: the URL it prints, and the page at that URL.
web = next((t for _, t in blocks() if t.startswith("$ zlbox serve --web")), None)
if not web:
    fail("no web phone example")
else:
    words = web.splitlines()[0][2:].split("  #")[0].split()
    shown = re.search(r"^web phone: http://127\.0\.0\.1:8765/\?token=[0-9a-f]{32}$", web, re.M)
    if words != ["zlbox", "serve", "--web"] or not shown:
        fail("the web phone example: %r" % web)
    # Port 0 here: another run may hold 8765.
    server = subprocess.Popen([zlbox, "serve", "--listen", "unix:%s/web.sock" % scratch, "--web", "127.0.0.1:0"],
                              env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        lines = [server.stdout.readline() for _ in range(3)]
        m = re.match(r"web phone: (http://127\.0\.0\.1:\d+/\?token=[0-9a-f]{32})$", lines[2].strip())
        if not m and "built without the web phone" in server.stderr.read():
            print("   zlbox has no web phone here (no libcpp-httplib-dev at build time)")
        elif not m:
            fail("serve --web announces %r" % lines)
        else:
            import urllib.request
            page = urllib.request.urlopen(m.group(1), timeout=30).read()
            if b"<title>zlbox web phone</title>" not in page:
                fail("the printed URL does not serve the page")
    finally:
        if server.poll() is None:
            server.send_signal(signal.SIGINT)
        server.wait(timeout=10)

shutil.rmtree(scratch, ignore_errors=True)
if failures:
    sys.exit(1)
print("README blocks: all run as written")
