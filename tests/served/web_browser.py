#!/usr/bin/env python3
"""The web phone in a real browser: Debian's chromium, headless, over the DevTools protocol.

  web_browser.py ZLBOX CALLERID SCREENSHOT.png

The example callerid runs on the served box as the application. The page rings with a number
and callerid shows it; the page's keypad sends keys and callerid shows them; the status bits
follow the call; zlbox play then plays a file and the page's meter moves; the browser's microphone speaks into a call that zlbox record takes and
the other meter moves. A screenshot of the
page during the playback goes to SCREENSHOT.png. Exit status 77 (skipped) without chromium or
python3-websockets.
"""
import asyncio
import json
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from webphone import WAIT, Served, drain, tone_wav  # noqa: E402

SKIP = 77


def skip(why):
    print("SKIPPED: " + why)
    sys.exit(SKIP)


try:
    import websockets
except ImportError:
    skip("python3-websockets is not installed (apt-get install python3-websockets)")
CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
if not CHROMIUM:
    skip("chromium is not installed (apt-get install chromium)")

zlbox, callerid, shot = sys.argv[1:4]


class Lines:
    """A process's output lines, read on a thread; wait for one."""

    def __init__(self, proc):
        self.proc, self.lines, self.q = proc, [], queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.q.put(line.rstrip("\n"))
        self.q.put(None)

    def wait(self, text):
        for line in drain(self.q):
            self.lines.append(line)
            print("   app: " + line)
            if text in line:
                return line
        raise AssertionError("no %r from the application; it said %r" % (text, self.lines))


class Page:
    """One browser tab over the DevTools protocol."""

    def __init__(self, ws):
        self.ws, self.next, self.errors = ws, 0, []

    async def call(self, method, **params):
        self.next += 1
        mine = self.next
        await self.ws.send(json.dumps({"id": mine, "method": method, "params": params}))
        while True:
            m = json.loads(await asyncio.wait_for(self.ws.recv(), WAIT))
            if m.get("method") == "Runtime.exceptionThrown":
                self.errors.append(m["params"]["exceptionDetails"])
            elif m.get("method") == "Runtime.consoleAPICalled" and m["params"]["type"] == "error":
                self.errors.append(m["params"]["args"])
            if m.get("id") == mine:
                if "error" in m:
                    raise AssertionError("%s: %s" % (method, m["error"]))
                return m["result"]

    async def js(self, expression):
        r = await self.call("Runtime.evaluate", expression=expression, returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in r:
            raise AssertionError("%s: %s" % (expression, r["exceptionDetails"]))
        return r["result"].get("value")

    async def until(self, expression, what):
        """Waits for a condition on the page; generous, as a loaded machine needs."""
        end = time.monotonic() + WAIT
        guarded = "(() => { try { return !!(%s); } catch (e) { return false; } })()" % expression
        while time.monotonic() < end:
            if await self.js(guarded):  # the page may still be loading
                return
            await asyncio.sleep(0.05)
        raise AssertionError("the page never showed " + what)

    async def click(self, selector):
        """A real mouse press in the middle of the element."""
        box = await self.js("(() => { const r = document.querySelector(%s).getBoundingClientRect();"
                            " return [r.x + r.width / 2, r.y + r.height / 2]; })()" % json.dumps(selector))
        for kind in ("mousePressed", "mouseReleased"):
            await self.call("Input.dispatchMouseEvent", type=kind, x=box[0], y=box[1], button="left", clickCount=1)

    async def type(self, selector, text):
        await self.js("document.querySelector(%s).select()" % json.dumps(selector))
        await self.call("Input.insertText", text=text)


async def browse(served, ws_url, app, tmp):
    async with websockets.connect(ws_url, max_size=None) as ws:
        page = Page(ws)
        await page.call("Runtime.enable")
        await page.call("Page.enable")
        await page.call("Emulation.setDeviceMetricsOverride", width=1280, height=980, deviceScaleFactor=1,
                        mobile=False)
        await page.call("Page.navigate", url=served.url)
        await page.until("document.getElementById('link').textContent === 'live'", "its event stream live")
        await page.until("document.getElementById('s-owned').classList.contains('on')", "the application")
        bit = "document.getElementById('s-%s').classList.contains('on')"
        assert await page.js(bit % "plugged") and not await page.js(bit % "offHook")

        print("   page: Ring 02155501234 (MDMF)")
        await page.type("#number", "02155501234")
        await page.js("document.getElementById('format').value = 'mdmf'")
        await page.click("#ring")
        app.wait("call from 02155501234")
        app.wait("answered")
        await page.until(bit % "offHook" + " && !" + bit % "ringing", "the hook off and the ringing over")
        await page.until("[...document.querySelectorAll('#timeline li')].some(li => "
                         "li.textContent.includes('caller ID 02155501234 (mdmf)'))", "the caller ID")
        await page.until("[...document.querySelectorAll('#commands li')].some(li => "
                         "li.textContent.includes('PickUp (4)'))", "the application's PickUp")

        for key in "42#":
            print("   page: key " + key)
            await page.click("#keypad button[data-key='%s']" % key)
            app.wait("key " + key)
        app.wait("hung up, keys: 42#")
        await page.until("!" + bit % "offHook", "the hang-up")
        out, _ = app.proc.communicate(timeout=WAIT)
        assert app.proc.returncode == 0, out

        # The application plays a file; the page hears it and its meter moves.
        await page.click("#listen")
        assert await page.js("Number(document.getElementById('m-out').dataset.db || -90)") < -50
        sound = tone_wav(os.path.join(tmp, "play.wav"), 8000, 4.0, hz=523, amplitude=9000, alaw=True)
        play = subprocess.Popen([zlbox, "play", sound], env=served.env, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
        played = Lines(play)
        played.wait("progress 10%")
        await page.until(bit % "playing" + " && " + bit % "offHook", "the playback on")
        await page.until("Number(document.getElementById('m-out').dataset.db) > -30", "the meter moving")
        played.wait("progress 50%")
        await page.js("new Promise(r => requestAnimationFrame(() => requestAnimationFrame(r)))")
        png = await page.call("Page.captureScreenshot", format="png")
        os.makedirs(os.path.dirname(os.path.abspath(shot)), exist_ok=True)
        import base64
        with open(shot, "wb") as f:
            f.write(base64.b64decode(png["data"]))
        print("   screenshot: " + shot)
        played.wait("PutDown")
        play.wait(timeout=WAIT)
        await page.until("!" + bit % "playing", "the playback off")
        await page.until("[...document.querySelectorAll('#timeline li')].some(li => "
                         "li.textContent.includes('playback end'))", "the playback's end")

        # The browser's microphone (chromium's fake one, a beep) as the far end
        # of a call that zlbox record answers: the other meter moves.
        rec_path = os.path.join(tmp, "rec.wav")
        rec = subprocess.Popen([zlbox, "record", rec_path, "--seconds", "3"], env=served.env,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        recorder = Lines(rec)
        await page.until(bit % "owned", "the recorder")
        await page.click("#mic")
        await page.until("document.getElementById('mic').classList.contains('active')", "the microphone on")
        await page.click("#ring")
        recorder.wait("StartReadSound")
        await page.until(bit % "recording", "the recording on")
        await page.until("Number(document.getElementById('m-in').dataset.db) > -40", "the far end's meter moving")
        rec.wait(timeout=WAIT)
        assert rec.returncode == 0, recorder.lines
        await page.click("#mic")
        assert not page.errors, page.errors


def main():
    served = Served(zlbox)
    tmp = tempfile.mkdtemp(prefix="zlbox-browser-")
    browser = None
    try:
        app = Lines(served.app(callerid, "--calls", "1"))
        app.wait("waiting for calls")
        args = [CHROMIUM, "--headless=new", "--remote-debugging-port=0", "--user-data-dir=" + tmp,
                "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run", "--no-default-browser-check",
                "--autoplay-policy=no-user-gesture-required", "--use-fake-ui-for-media-stream",
                "--use-fake-device-for-media-stream", "about:blank"]
        if os.geteuid() == 0:
            args.insert(1, "--no-sandbox")  # chromium's sandbox refuses root
        browser = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        port_file = os.path.join(tmp, "DevToolsActivePort")
        end = time.monotonic() + WAIT * 2
        while not (os.path.exists(port_file) and len(open(port_file).read().split()) >= 2):
            if time.monotonic() > end or browser.poll() is not None:
                raise AssertionError("chromium did not start its DevTools endpoint")
            time.sleep(0.05)
        port = open(port_file).read().split()[0]
        import urllib.request
        targets = json.load(urllib.request.urlopen("http://127.0.0.1:%s/json/list" % port, timeout=WAIT))
        ws_url = [t for t in targets if t["type"] == "page"][0]["webSocketDebuggerUrl"]
        asyncio.run(browse(served, ws_url, app, tmp))
    finally:
        if browser:
            browser.terminate()
            try:
                browser.wait(timeout=WAIT)
            except subprocess.TimeoutExpired:
                browser.kill()
        rc = served.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    assert rc == 0, "zlbox serve ended with %d" % rc
    print("web phone in chromium: ring, caller ID, keys, status bits, playback meter, microphone; all seen")


if __name__ == "__main__":
    main()
