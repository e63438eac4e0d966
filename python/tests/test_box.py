"""The zplr package against the virtual box: a call with caller ID and keys,
recordings and playback, errors raised by name, the end of the process."""
import ctypes
import ctypes.util
import os
import subprocess
import sys
import time

import pytest

import zplr

MDMF = 1


def test_construction_and_bad_indices():
    for i in range(4):
        box = zplr.Box(i)  # with or without a box, never raises
        box.close()
    for bad in (-1, 4, 100):
        with pytest.raises(ValueError):
            zplr.Box(bad)
    box = zplr.Box(2)
    box.close()
    with pytest.raises(zplr.Closed):
        box.pick_up()


def test_incoming_call_with_caller_id_and_keys(testbox):
    with zplr.Box(0) as box:
        assert box.connected
        testbox.zplr_testbox_ring(0, b"02155501234", MDMF)
        assert box.wait_for_call(timeout=5) == "02155501234"
        assert box.caller_number() == "02155501234"  # read again: the same
        box.pick_up()
        assert box.off_hook
        assert box.keys() == ""
        testbox.zplr_testbox_press_keys(0, b"42#")
        assert box.wait_keys("#", timeout=5) == "42#"
        testbox.zplr_testbox_press_keys(0, b"0*")
        assert box.wait_keys("", timeout=10, count=2) == "0*"
        assert box.keys() == ""
        box.put_down()
        assert not box.off_hook
        assert box.version() == "300 4 2014-03-24 16:15"


def read_with_libsndfile(path):
    """(frames, rate, channels, format) as libsndfile reads the file."""
    name = ctypes.util.find_library("sndfile")
    if not name:
        pytest.skip("libsndfile not installed")
    sf = ctypes.CDLL(name)

    class Info(ctypes.Structure):
        _fields_ = [("frames", ctypes.c_int64), ("samplerate", ctypes.c_int),
                    ("channels", ctypes.c_int), ("format", ctypes.c_int),
                    ("sections", ctypes.c_int), ("seekable", ctypes.c_int)]

    sf.sf_open.restype = ctypes.c_void_p
    sf.sf_open.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.POINTER(Info)]
    sf.sf_close.argtypes = [ctypes.c_void_p]
    sf.sf_strerror.restype = ctypes.c_char_p
    sf.sf_strerror.argtypes = [ctypes.c_void_p]
    info = Info()
    f = sf.sf_open(os.fsencode(path), 0x10, ctypes.byref(info))  # SFM_READ
    assert f, sf.sf_strerror(None)
    sf.sf_close(f)
    return info.frames, info.samplerate, info.channels, info.format


def test_recording_and_playback(testbox, scratch):
    path = scratch / "message.wav"
    with zplr.Box(0) as box:
        with pytest.raises(zplr.BadArgument):
            box.start_record(path)  # mode 0 needs the line off hook
        box.pick_up()
        testbox.zplr_testbox_press_keys(0, b"5#")
        size = box.record(path, seconds=5, until_key="#")
        assert box.keys() == "5#"  # the stop key stays for the application
        assert size == os.path.getsize(path) and size > 48
        frames, rate, channels, fmt = read_with_libsndfile(path)
        assert (rate, channels) == (8000, 1)
        assert fmt == 0x010011  # WAV, A-law
        assert frames == size - 48

        before = testbox.zplr_testbox_sound_out(0, None, 0)
        assert box.play(path, timeout=30)
        assert box.played_bytes >= size - 48
        assert testbox.zplr_testbox_sound_out(0, None, 0) - before >= (size - 48) // 256 * 256

        sound = box.record_bytes(0.1)
        assert len(sound) >= 800 and len(sound) % 250 == 0
        before = testbox.zplr_testbox_sound_out(0, None, 0)
        box.play_bytes(b"\x2a" * 700)  # filled up to 768
        out = ctypes.create_string_buffer(before + 768)
        assert testbox.zplr_testbox_sound_out(0, out, before + 768) == before + 768
        assert out.raw[before:before + 700] == b"\x2a" * 700
        assert out.raw[before + 700:] == b"\xd5" * 68
        box.put_down()


def test_errors_raised_by_name(testbox, scratch):
    with zplr.Box(3) as nobox:  # no box at index 3
        assert not nobox.connected
        with pytest.raises(zplr.Closed) as e:
            nobox.pick_up()
        assert e.value.code == -1 and isinstance(e.value, zplr.Error)
    with zplr.Box(0) as box:
        with pytest.raises(zplr.BadArgument) as e:
            box.dial("95566")  # on hook
        assert e.value.code == -4
        box.pick_up()
        with pytest.raises(zplr.NotRunning) as e:
            box.dial("")  # an empty number
        assert e.value.code == -2
        with pytest.raises(zplr.BadArgument):
            box.start_play(scratch / "missing.wav")
        testbox.zplr_testbox_withhold_replies(0, 1)
        try:
            with pytest.raises(zplr.Timeout) as e:
                box.set_amp(1)
            assert e.value.code == -3
        finally:
            testbox.zplr_testbox_withhold_replies(0, 0)
        box.put_down()
    with pytest.raises(zplr.Closed):
        box.pick_up()  # closed handle


def report(*data):
    return (ctypes.c_uint8 * 64)(*data)


def test_failed_caller_id_and_flags_words(testbox):
    with zplr.Box(0) as box:
        # Report 4 with sub-code 2: the box could not receive the number.
        testbox.zplr_testbox_send_report(0, report(4, 2))
        end = time.monotonic() + 5
        with pytest.raises(zplr.CallerIdFailed) as e:
            while time.monotonic() < end:
                box.caller_number()
                time.sleep(0.01)
        assert e.value.code == -2
        assert not isinstance(e.value, zplr.NotRunning)
        # The next call's number replaces the failure.
        testbox.zplr_testbox_ring(0, b"5551234", MDMF)
        assert box.wait_for_call(timeout=5) == "5551234"

        # A flags word is a value, whatever its top bit.
        for word in (0x80000001, 0xFFFFFFF0, 0x04000000, 0):
            testbox.zplr_testbox_set_flags(0, word)
            assert box.flags() == word
        testbox.zplr_testbox_set_flags(0, 0)


def run_child(code, timeout=30):
    env = dict(os.environ)
    t0 = time.monotonic()
    r = subprocess.run([sys.executable, "-c", code], env=env, timeout=timeout,
                       capture_output=True, text=True)
    return r, time.monotonic() - t0


CHILD = """
import ctypes, os, zplr
zplr.lib()
tb = ctypes.CDLL(os.environ["ZPLR_TESTBOX"])
tb.zplr_testbox_plug(0)
tb.zplr_testbox_unpaced(0)
box = zplr.Box(0)
box.start()
box.pick_up()
{extra}
print("left open")
"""


@pytest.mark.parametrize("extra", [
    "",                                                    # a session left open
    "box.start_record(os.path.join(os.environ.get('ZPLR_TEST_DIR', '.'), 'child.wav'))",  # recording
    "b2 = zplr.Box(0); del box",                           # one object dropped, one left
])
def test_session_left_open_at_exit_does_not_hang(testbox, extra):
    r, took = run_child(CHILD.format(extra=extra))
    assert r.returncode == 0, r.stderr
    assert "left open" in r.stdout
    assert took < 20


def test_answering_machine_example(testbox, scratch):
    script = os.path.join(os.environ.get("ZPLR_EXAMPLES", ""), "answering_machine.py")
    if not os.path.exists(script):
        pytest.skip("no examples")
    message = scratch / "message.wav"
    r = subprocess.run([sys.executable, script, "--virtual", "--message", str(message),
                        "--seconds", "5"], timeout=60, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert "caller: 13800138000" in r.stdout
    assert "keys: 5#" in r.stdout
    assert os.path.getsize(message) > 48
