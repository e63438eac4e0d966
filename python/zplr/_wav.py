"""What a WAV file holds, and the library's own layout (48-byte header,
8 kHz 8-bit A-law mono) that playback takes every file as."""
import os
import struct
import tempfile
from typing import NamedTuple, Tuple

_TAGS = {1: "PCM", 3: "IEEE float", 6: "A-law", 7: "mu-law", 0xFFFE: "extensible"}


class WavInfo(NamedTuple):
    fmt_size: int
    tag: int
    channels: int
    rate: int
    bits: int
    data_offset: int
    data_size: int

    def describe(self) -> str:
        tag = _TAGS.get(self.tag, "format tag %d" % self.tag)
        chans = "mono" if self.channels == 1 else "%d channels" % self.channels
        return "%s %d-bit %d Hz %s" % (tag, self.bits, self.rate, chans)

    @property
    def alaw_8k(self) -> bool:
        return self.tag == 6 and self.channels == 1 and self.rate == 8000 and self.bits == 8

    @property
    def library_layout(self) -> bool:
        return self.alaw_8k and self.fmt_size == 20 and self.data_offset == 48


class NotPlayable(ValueError):
    """A file the box cannot play: not 8 kHz A-law mono WAV. The message
    names its format and a conversion command."""


def read_info(path: str) -> WavInfo:
    """Walks the RIFF chunks up to "data"; NotPlayable for any other file."""
    try:
        f = open(path, "rb")
    except OSError as e:
        raise NotPlayable("%s cannot be opened: %s" % (path, e.strerror)) from None
    with f:
        head = f.read(12)
        if len(head) < 12 or head[:4] != b"RIFF" or head[8:12] != b"WAVE":
            raise NotPlayable("%s is not a WAV file" % path)
        fmt = None
        at = 12
        while True:
            ch = f.read(8)
            if len(ch) < 8:
                raise NotPlayable("%s has no %s chunk" % (path, "data" if fmt else "format"))
            cid, size = ch[:4], struct.unpack("<I", ch[4:])[0]
            at += 8
            if cid == b"fmt ":
                body = f.read(16)
                if size < 16 or len(body) < 16:
                    raise NotPlayable("%s has a broken format chunk" % path)
                tag, chans, rate, _, _, bits = struct.unpack("<HHIIHH", body)
                fmt = (size, tag, chans, rate, bits)
            elif cid == b"data":
                if fmt is None:
                    raise NotPlayable("%s has no format chunk before its data" % path)
                end = os.fstat(f.fileno()).st_size
                return WavInfo(*fmt, at, min(size, max(end - at, 0)))
            at += size + (size & 1)
            f.seek(at)


def library_header(n: int) -> bytes:
    return (b"RIFF" + struct.pack("<I", n + 40) + b"WAVEfmt " +
            struct.pack("<IHHIIHHH", 20, 6, 1, 8000, 8000, 1, 8, 0) + b"\0\0" +
            b"data" + struct.pack("<I", n))


def playable(path: str) -> Tuple[str, bool]:
    """The path the library can play this file from, and whether it is a
    temporary copy for the caller to remove. A file in the library's layout
    plays as it is; 8 kHz A-law mono in another layout is copied into it;
    anything else raises NotPlayable naming its format."""
    info = read_info(path)
    if not info.alaw_8k:
        raise NotPlayable(
            "%s is %s; the box plays only 8000 Hz 8-bit A-law mono WAV. Convert with:\n"
            "  sox IN.wav -r 8000 -c 1 -e a-law OUT.wav\n"
            "  ffmpeg -i IN.wav -ar 8000 -ac 1 -c:a pcm_alaw OUT.wav\n"
            "  or zlbox play, which converts any file when built with libsndfile and libsoxr"
            % (path, info.describe()))
    if info.library_layout:
        return path, False
    with open(path, "rb") as f:
        f.seek(info.data_offset)
        sound = f.read(info.data_size)
    fd, temp = tempfile.mkstemp(prefix="zplr-play-", suffix=".wav")
    with os.fdopen(fd, "wb") as out:
        out.write(library_header(len(sound)) + sound)
    return temp, True
