"""zlbox serve --web for the tests: the server, its page's requests and its event stream."""
import array
import http.client
import json
import math
import os
import queue
import re
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
import wave

WAIT = 20  # seconds for a condition on a loaded machine; never a verdict by itself


def drain(q):
    """Items of q as they come, until None arrives or WAIT passes."""
    end = time.monotonic() + WAIT
    while time.monotonic() < end:
        try:
            item = q.get(timeout=max(0.01, end - time.monotonic()))
        except queue.Empty:
            return
        if item is None:
            return
        yield item


class Served:
    """One zlbox serve --web on a private socket and a free loopback port."""

    def __init__(self, zlbox, boxes="0", extra=()):
        self.zlbox = zlbox
        self.dir = tempfile.mkdtemp(prefix="zlbox-webtest-")
        self.address = "unix:" + os.path.join(self.dir, "s.sock")
        self.env = dict(os.environ, ZPLR_DRIVER=self.address)
        self.proc = subprocess.Popen([zlbox, "serve", "--boxes", boxes, "--listen", self.address,
                                      "--web", "127.0.0.1:0", *extra],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.out = []
        self.url = None
        end = time.monotonic() + WAIT
        while time.monotonic() < end:
            line = self.proc.stdout.readline()
            if not line:
                break
            self.out.append(line)
            m = re.match(r"web phone: (http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]+))$", line.strip())
            if m:
                self.url, self.port, self.token = m.group(1), int(m.group(2)), m.group(3)
                break
        if not self.url:
            self.stop()
            raise RuntimeError("no page URL from zlbox serve --web: %r %s" % (self.out, self.proc.stderr.read()))
        threading.Thread(target=self._drain, daemon=True).start()

    def _drain(self):
        for line in self.proc.stdout:
            self.out.append(line)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        return self.proc.returncode

    def link(self, path, token=True, **params):
        if token:
            params["token"] = self.token if token is True else token
        return "http://127.0.0.1:%d%s?%s" % (self.port, path, urllib.parse.urlencode(params))

    def request(self, path, body=None, token=True, **params):
        """(status, headers, body bytes); a refusal is an answer, not an error."""
        # As a page's fetch sends them: a form's type would cap the body at 8 KiB.
        headers = {"Content-Type": "application/octet-stream"} if body is not None else {}
        req = urllib.request.Request(self.link(path, token, **params), data=body, headers=headers,
                                     method="POST" if body is not None else "GET")
        try:
            with urllib.request.urlopen(req, timeout=WAIT) as r:
                return r.status, r.headers, r.read()
        except urllib.error.HTTPError as e:
            return e.code, e.headers, e.read()

    def line(self, command, **params):
        status, _, body = self.request("/line", command.encode(), **params)
        return status, json.loads(body)

    def zlbox_line(self, *words):
        """What zlbox line says for the same command: (exit status, its line)."""
        r = subprocess.run([self.zlbox, "line", *words], env=self.env, capture_output=True, text=True,
                           timeout=WAIT)
        said = (r.stdout + r.stderr).strip()
        return r.returncode, said.replace("zlbox line: ", "", 1)

    def app(self, *args):
        """An application on the served box (a zlbox command, or any program)."""
        cmd = list(args) if os.path.sep in args[0] else [self.zlbox, *args]
        return subprocess.Popen(cmd, env=self.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


class Events:
    """A page's event stream, read on a thread of its own."""

    def __init__(self, served, box=None):
        params = {"token": served.token}
        if box is not None:
            params["box"] = box
        self.conn = http.client.HTTPConnection("127.0.0.1", served.port, timeout=WAIT)
        self.conn.request("GET", "/events?" + urllib.parse.urlencode(params))
        self.response = self.conn.getresponse()
        self.status = self.response.status
        self.queue = queue.Queue()
        self.seen = []
        if self.status == 200:
            threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        kind, data = None, None
        try:
            while True:
                raw = self.response.fp.readline()
                if not raw:
                    break
                text = raw.decode().rstrip("\n")
                if text.startswith("event: "):
                    kind = text[7:]
                elif text.startswith("data: "):
                    data = json.loads(text[6:])
                elif text == "" and kind:
                    self.queue.put((kind, data))
                    kind, data = None, None
        except (OSError, ValueError, AttributeError):  # closed by close()
            pass
        self.queue.put(None)

    def until(self, done, what):
        """Events until done(kind, data) holds; all of them, that one last."""
        for e in drain(self.queue):
            self.seen.append(e)
            if done(*e):
                return self.seen
        raise AssertionError("no %s among %r" % (what, self.seen[-30:]))

    def holds(self, check, what):
        """Events until check(all events so far) holds, those already seen included."""
        if check(self.seen):
            return self.seen
        return self.until(lambda k, d: check(self.seen), what)

    def timeline(self, kind):
        return self.until(lambda k, d: k == "timeline" and d["kind"] == kind, "timeline event " + kind)

    def state(self, **want):
        """The box's state once it is `want`, the latest state seen so far included."""
        match = lambda k, d: k == "status" and all(d[x] == v for x, v in want.items())
        statuses = [e for e in self.seen if e[0] == "status"]
        if statuses and match(*statuses[-1]):
            return statuses[-1][1]
        return self.until(match, "status %r" % want)[-1][1]

    def close(self):
        # The reader blocks in a read that holds the stream: end the socket first.
        if self.conn.sock:
            try:
                self.conn.sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self.conn.close()


def tone_wav(path, rate, seconds, hz=1000, amplitude=12000, alaw=False):
    """A sine as 16-bit PCM WAV, or as 8 kHz A-law WAV (the library's format) when alaw."""
    n = int(rate * seconds)
    pcm = array.array("h", (int(amplitude * math.sin(2 * math.pi * hz * i / rate)) for i in range(n)))
    if not alaw:
        with wave.open(path, "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(rate)
            w.writeframes(pcm.tobytes())
        return path
    data = bytes(linear_to_alaw(v) for v in pcm)
    fmt = (6).to_bytes(2, "little") + (1).to_bytes(2, "little") + (8000).to_bytes(4, "little") + \
        (8000).to_bytes(4, "little") + (1).to_bytes(2, "little") + (8).to_bytes(2, "little")
    with open(path, "wb") as f:
        f.write(b"RIFF" + (4 + 24 + 8 + len(data)).to_bytes(4, "little") + b"WAVE")
        f.write(b"fmt " + (16).to_bytes(4, "little") + fmt + b"data" + len(data).to_bytes(4, "little") + data)
    return path


def linear_to_alaw(pcm):
    pcm >>= 3
    mask = 0xD5
    if pcm < 0:
        mask, pcm = 0x55, -pcm - 1
    for seg, end in enumerate((0x1F, 0x3F, 0x7F, 0xFF, 0x1FF, 0x3FF, 0x7FF, 0xFFF)):
        if pcm <= end:
            return ((seg << 4) | ((pcm >> 1 if seg < 2 else pcm >> seg) & 0x0F)) ^ mask
    return 0x7F ^ mask
