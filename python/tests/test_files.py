"""What play() and record() take, checked before anything reaches the box,
and the package built offline by pip from every python3 at hand."""
import glob
import os
import shutil
import struct
import subprocess
import sys

import pytest

import zplr


def wav(fmt_size=20, tag=6, channels=1, rate=8000, bits=8, audio=b"", extra=b""):
    """A WAV file's bytes; `extra` is a chunk placed before the data."""
    fmt = struct.pack("<HHIIHH", tag, channels, rate, rate * channels * bits // 8,
                      channels * bits // 8, bits) + b"\0" * (fmt_size - 16)
    body = b"WAVEfmt " + struct.pack("<I", fmt_size) + fmt + extra
    body += b"data" + struct.pack("<I", len(audio)) + audio
    return b"RIFF" + struct.pack("<I", len(body)) + body


def test_play_refuses_other_formats_naming_them(scratch):
    cases = [
        (wav(fmt_size=16, tag=1, channels=2, rate=44100, bits=16, audio=b"\0" * 400),
         "PCM 16-bit 44100 Hz 2 channels"),
        (wav(tag=7, audio=b"\xff" * 100), "mu-law 8-bit 8000 Hz mono"),
        (wav(rate=16000, audio=b"\xd5" * 100), "A-law 8-bit 16000 Hz mono"),
        (b"ID3\x03" + b"\0" * 100, "is not a WAV file"),
    ]
    box = zplr.Box(3)  # no session: a refusal comes before the library is called
    try:
        for data, says in cases:
            path = scratch / "in.wav"
            path.write_bytes(data)
            with pytest.raises(zplr.NotPlayable) as e:
                box.play(path)
            assert says in str(e.value)
            assert "sox IN.wav -r 8000 -c 1 -e a-law OUT.wav" in str(e.value) or "WAV" in says
        with pytest.raises(zplr.NotPlayable, match="cannot be opened"):
            box.play(scratch / "missing.wav")
        with pytest.raises(ValueError, match="0 to 1000"):
            box.play(path, start_permille=1001)
    finally:
        box.close()


def test_play_takes_alaw_of_any_layout(testbox, scratch):
    """A 24-byte format chunk and a LIST chunk before the data: the same
    sound reaches the line, with no temporary file left behind."""
    audio = bytes(range(0x20, 0x20 + 200)) * 4
    path = scratch / "sox.wav"
    path.write_bytes(wav(fmt_size=22, audio=audio, extra=b"LIST\x04\0\0\0INFO"))
    left = set(glob.glob(os.path.join(os.environ.get("TMPDIR", "/tmp"), "zplr-play-*")))
    with zplr.Box(0) as box:
        box.pick_up()
        before = testbox.zplr_testbox_sound_out(0, None, 0)
        assert box.play(path, timeout=30)
        import ctypes
        n = testbox.zplr_testbox_sound_out(0, None, 0)
        out = ctypes.create_string_buffer(n)
        testbox.zplr_testbox_sound_out(0, out, n)
        assert out.raw[before:before + 768] == audio[:768]
        box.put_down()
    assert set(glob.glob(os.path.join(os.environ.get("TMPDIR", "/tmp"), "zplr-play-*"))) == left


def test_record_refuses_paths_it_would_not_write(scratch):
    box = zplr.Box(3)
    try:
        for path, says in [
            (scratch / "msg#1.wav", "would write " + str(scratch / "msg1.wav")),
            (scratch / "a*b.wav", "leaves '\\*' and '#' out"),
            (scratch, "is a folder"),
            (scratch / "none" / "m.wav", "does not exist"),
        ]:
            with pytest.raises(ValueError, match=says):
                box.record(path, seconds=1)
        for seconds in (0, -1, "5"):
            with pytest.raises(ValueError, match="seconds"):
                box.record(scratch / "m.wav", seconds=seconds)
        with pytest.raises(ValueError, match="'E' is not a key"):
            box.record(scratch / "m.wav", seconds=1, until_key="E")
    finally:
        box.close()
    assert not os.path.exists(scratch / "msg1.wav")


def pythons():
    """Every python3 of 3.8 or later found: the one running, Debian's, pyenv's."""
    found = {os.path.realpath(sys.executable)}
    for p in ["/usr/bin/python3", shutil.which("python3") or ""] + \
            sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3"))):
        if p and os.path.exists(p):
            found.add(os.path.realpath(p))
    usable = []
    for p in sorted(found):
        v = subprocess.run([p, "-c", "import sys, pip; print(sys.version_info >= (3, 8))"],
                           capture_output=True, text=True)
        if v.stdout.strip() == "True":
            usable.append(p)
    return usable


@pytest.mark.parametrize("python", pythons())
def test_pip_builds_offline(python, tmp_path):
    """No index, build isolation on: the build may need nothing from outside."""
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    shutil.copytree(here, tmp_path / "src", ignore=shutil.ignore_patterns("__pycache__", "tests"))
    env = dict(os.environ, PIP_NO_INDEX="1", PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_CONFIG_FILE=os.devnull)
    r = subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", "--target",
                        str(tmp_path / "site"), str(tmp_path / "src")],
                       capture_output=True, text=True, env=env, timeout=300)
    assert r.returncode == 0, r.stderr
    r = subprocess.run([python, "-c", "import zplr, sys; print(zplr.__version__, zplr.__file__)"],
                       capture_output=True, text=True, cwd=str(tmp_path),
                       env=dict(env, PYTHONPATH=str(tmp_path / "site"), ZPLR_LIBRARY="/nonexistent"))
    assert r.stdout.split()[0] == zplr.__version__, r.stderr
    assert r.stdout.split()[1].startswith(str(tmp_path / "site"))
    installed = set(os.listdir(tmp_path / "site" / "zplr"))
    assert {"__init__.py", "_lib.py", "_wav.py", "py.typed"} <= installed
