"""zlbox serve --web over HTTP: the token, loopback, each action as zlbox line does it, the event
stream in order and replayed, the sound both ways. ZLBOX names the zlbox to test."""
import os
import subprocess
import time

import pytest

from webphone import WAIT, Events, Served, tone_wav

ZLBOX = os.environ.get("ZLBOX", "zlbox")


@pytest.fixture
def served():
    s = Served(ZLBOX)
    yield s
    assert s.stop() == 0


def loud(alaw):
    """Samples well above silence (0xD5 and its neighbours decode to +-8 .. +-24)."""
    return sum(1 for b in alaw if (b ^ 0x55) & 0x70)


def test_token_is_needed_for_everything(served):
    status, headers, page = served.request("/")
    assert status == 200 and b"zlbox web phone" in page
    assert headers["Content-Type"].startswith("text/html")
    wrong = "0" * len(served.token) if served.token[0] != "0" else "1" * len(served.token)
    for path, body in (("/", None), ("/state", None), ("/events", None), ("/sound", None),
                       ("/playback.wav", None), ("/line", b"ring 5551234"), ("/speak", b"\xd5" * 80),
                       ("/far-end", b"RIFF"), ("/nothing", None)):
        for token in (False, wrong, served.token[:-1]):
            status, _, _ = served.request(path, body, token=token)
            assert status == 403, (path, token)
    # The refused ring did nothing: a page sees no ring in the timeline.
    ev = Events(served)
    served.line("busy")
    seen = ev.timeline("busy")
    assert not [d for k, d in seen if k == "timeline" and d["kind"] == "ring"]


def test_loopback_only(served, tmp_path):
    # The page's port is bound to 127.0.0.1 and nothing else.
    with open("/proc/net/tcp") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    local = [r[1] for r in rows if r[3] == "0A" and int(r[1].split(":")[1], 16) == served.port]
    assert local == ["0100007F:%04X" % served.port]
    # A port another server holds is refused, not shared.
    r = subprocess.run([ZLBOX, "serve", "--listen", "unix:" + str(tmp_path / "y.sock"), "--web",
                        "127.0.0.1:%d" % served.port], capture_output=True, text=True, timeout=WAIT)
    assert r.returncode == 1 and "cannot listen on 127.0.0.1:%d" % served.port in r.stderr, r.stderr
    for address in ("0.0.0.0:8765", "192.168.1.20:8765", "[::]:8765", "example.com:80"):
        r = subprocess.run([ZLBOX, "serve", "--listen", "unix:" + str(tmp_path / "x.sock"), "--web", address],
                           capture_output=True, text=True, timeout=WAIT)
        assert r.returncode == 2, address
        assert "not a loopback address" in r.stderr, r.stderr
        assert not (tmp_path / "x.sock").exists()


def test_actions_do_what_zlbox_line_does(served):
    for command in ("ring 02155501234 mdmf", "ring 5551234", "ring 555 digits", "keys 42#", "answer", "busy",
                    "hangup", "unplug", "plug"):
        status, answer = served.line(command)
        code, said = served.zlbox_line(*command.split())
        assert (status, answer["ok"], answer["answer"]) == (200, True, said), command
        assert code == 0
    for command in ("ring 555x", "ring", "ring 555 v23", "keys 12z", "answer now"):
        status, answer = served.line(command)
        code, said = served.zlbox_line(*command.split())
        if command == "ring":  # zlbox line's own parser wants the number
            assert status == 400 and not answer["ok"] and code != 0
        else:
            assert (status, answer["ok"], answer["answer"]) == (400, False, said), command
            assert code == 2
    # Paths are for zlbox line alone: a page never names a file on this machine.
    target = os.path.join(served.dir, "x.wav")
    for command in ("far-end /etc/passwd", "save-playback " + target, "frobnicate"):
        status, answer = served.line(command)
        assert status == 400 and not answer["ok"]
    assert not os.path.exists(target)
    # As long as zlbox line lets one be: 4096 bytes.
    assert served.line("ring " + "1" * 4091)[0] == 200
    status, answer = served.line("ring " + "1" * 4092)
    assert status == 400 and answer["answer"] == "command too long"
    assert served.request("/line", b"answer", box="1")[0] == 404
    assert served.request("/line", b"answer", box="x")[0] == 404


def test_events_in_order_replayed_to_a_later_page(served):
    first = Events(served)
    first.state(plugged=True, owned=False, ringing=False)
    # Each state is waited for before the next command: the state is sampled,
    # and one that lasts no time may never be shown (the timeline has it).
    for command, state in (("ring 02155501234 mdmf", {"ringing": True}), ("keys 42#", {}),
                           ("hangup", {"ringing": False}), ("unplug", {"plugged": False}),
                           ("plug", {"plugged": True})):
        assert served.line(command)[0] == 200
        first.state(**state)
    # The state may show before the event that made it.
    seen = first.holds(lambda seen: any(k == "timeline" and d["kind"] == "plug" for k, d in seen), "the plug")
    timeline = [(d["kind"], d["text"]) for k, d in seen if k == "timeline"]
    assert timeline == [("ring", "rings: 02155501234"), ("callerid", "caller ID 02155501234 (mdmf)"),
                        ("keys", "keys 42#"), ("hangup", "the far end hung up"), ("unplug", "box unplugged"),
                        ("plug", "box plugged in")]
    seqs = [d["seq"] for k, d in seen if k != "status"]
    assert seqs == sorted(seqs) and len(set(seqs)) == len(seqs)

    # zlbox line's commands show as well: one timeline for every way in.
    assert served.zlbox_line("keys", "7")[0] == 0
    first.until(lambda k, d: k == "timeline" and d["text"] == "keys 7", "zlbox line's keys")

    later = Events(served)
    replay = later.timeline("keys")  # the first keys event: 42#
    replay = later.until(lambda k, d: k == "timeline" and d["text"] == "keys 7", "the replay's end")
    assert [(d["kind"], d["text"]) for k, d in replay if k == "timeline"][:6] == timeline
    first.close()
    later.close()


def test_replay_keeps_the_last_thousand(served):
    for _ in range(1005):
        served.line("busy")
    served.line("keys 1")
    ev = Events(served)
    seen = ev.timeline("keys")
    timeline = [d for k, d in seen if k == "timeline"]
    assert len(timeline) == 1000
    assert timeline[-1]["text"] == "keys 1" and timeline[0]["kind"] == "busy"
    assert timeline[-1]["seq"] - timeline[0]["seq"] >= 999


def test_application_commands_by_name_and_its_dialling(served):
    ev = Events(served)
    dial = served.app("dial", "95566")
    ev.until(lambda k, d: k == "timeline" and d["text"] == "the application dials 95566", "the dialling")
    assert ev.state(dialled="95566", owned=True, offHook=True)
    # Answered once it rings back, as a far end does.
    said = []
    for text in dial.stdout:
        said.append(text)
        if text.startswith("450 Hz: tone"):
            break
    assert served.line("answer")[0] == 200
    out, _ = dial.communicate(timeout=WAIT)
    assert dial.returncode == 0, "".join(said) + out
    assert "answered" in out
    ev.state(owned=False)
    owners = lambda seen: [d["text"] for k, d in seen if k == "timeline" and d["kind"] == "owner"]
    ev.holds(lambda seen: "let the box go" in owners(seen)[-1], "the release")
    commands = [d["text"] for k, d in ev.seen if k == "command"]
    for name in ("PickUp (4)", "DialNmb (6): 05", "PutDown (3)"):
        assert any(c.startswith(name) for c in commands), (name, commands)
    kinds = [d["kind"] for k, d in ev.seen if k == "timeline"]
    assert kinds.index("owner") < kinds.index("hook") < kinds.index("dial") < kinds.index("answer")
    assert kinds[-1] == "owner"


def test_sound_to_the_page_and_the_download(served, tmp_path):
    path = tone_wav(str(tmp_path / "tone.wav"), 8000, 1.5, hz=437, alaw=True)
    with open(path, "rb") as f:
        samples = f.read()[44:]
    ev = Events(served)
    status, headers, body = served.request("/sound", dir="out")
    assert status == 200 and body == b""
    start = int(headers["X-Sound-To"])
    play = served.app("play", path)
    ev.timeline("playback")
    out, _ = play.communicate(timeout=WAIT)
    assert play.returncode == 0, out
    ev.until(lambda k, d: k == "timeline" and d["text"] == "playback end", "the playback's end")
    status, headers, body = served.request("/sound", dir="out", **{"from": start})
    assert int(headers["X-Sound-From"]) == start
    assert int(headers["X-Sound-To"]) == start + len(body)
    # What the application played, as it played it, in whole blocks of 256.
    assert len(body) % 256 == 0 and len(samples) - 256 < len(body) <= len(samples) + 256
    assert body[:len(samples)] == samples[:len(body)]
    # The next fetch from where this one ended brings nothing new.
    assert served.request("/sound", dir="out", **{"from": headers["X-Sound-To"]})[2] == b""

    status, headers, wav = served.request("/playback.wav")
    assert status == 200 and headers["Content-Type"] == "audio/wav"
    assert "attachment" in headers["Content-Disposition"]
    saved = tmp_path / "saved.wav"
    assert served.zlbox_line("save-playback", str(saved))[0] == 0
    assert wav == saved.read_bytes()
    ev.close()


def test_far_end_from_a_dropped_file(served, tmp_path):
    # A 16 kHz PCM file, as a browser's user drops one: converted for the line.
    pcm = tone_wav(str(tmp_path / "voice.wav"), 16000, 3.0)
    with open(pcm, "rb") as f:
        status, _, body = served.request("/far-end", f.read())
    assert status == 200, body
    status, _, body = served.request("/far-end", b"RIFF....WAVEjunk")
    assert status == 400 and b"file" in body
    assert served.request("/speak", b"\xd5" * 16001)[0] == 413

    ev = Events(served)
    rec_path = str(tmp_path / "rec.wav")
    rec = served.app("record", rec_path, "--seconds", "2")
    ev.until(lambda k, d: k == "timeline" and d["kind"] == "owner", "the recorder")
    _, headers, _ = served.request("/sound", dir="in")
    start = int(headers["X-Sound-To"])
    assert served.line("ring 5551234")[0] == 200
    ev.state(recording=True, offHook=True)
    out, _ = rec.communicate(timeout=WAIT)
    assert rec.returncode == 0, out
    _, _, heard = served.request("/sound", dir="in", **{"from": start})
    # How much of it depends on when the recorder started: some is enough.
    assert loud(heard) > 800, "the line gave the recorder no far end"
    with open(rec_path, "rb") as f:
        assert loud(f.read()[48:]) > 800



def test_far_end_from_a_microphone(served, tmp_path):
    voice = bytes([0xFA]) * 800
    # Before a call nobody hears it; it does not pile up for the next one.
    for _ in range(8):
        assert served.request("/speak", voice)[0] == 200
    ev = Events(served)
    rec = served.app("record", str(tmp_path / "rec.wav"), "--seconds", "3")
    ev.until(lambda k, d: k == "timeline" and d["kind"] == "owner", "the recorder")
    _, headers, _ = served.request("/sound", dir="in")
    start = int(headers["X-Sound-To"])
    assert served.line("ring 5551234")[0] == 200
    ev.state(recording=True, offHook=True)
    # 100 ms of voice every 100 ms, as the page posts it, until the call ends.
    posted = 0
    while rec.poll() is None:
        assert served.request("/speak", voice)[0] == 200
        posted += len(voice)
        time.sleep(0.1)
    assert rec.returncode == 0, rec.stdout.read()
    _, _, heard = served.request("/sound", dir="in", **{"from": start})
    assert 800 <= heard.count(0xFA) <= posted, "the microphone did not reach the line, or more than it said"


def test_several_pages_watch_one_box(served):
    pages = [Events(served) for _ in range(16)]
    assert all(p.status == 200 for p in pages)
    assert Events(served).status == 503
    assert served.line("ring 5550100")[0] == 200
    for p in pages:
        p.timeline("callerid")
        p.close()
    # Pages that went away leave room for new ones, soon.
    end = time.monotonic() + WAIT
    while Events(served).status != 200:
        assert time.monotonic() < end, "closed pages were never let go"
        time.sleep(0.2)
