"""The ZL telephone-line box from Python: zPLR's C interface through ctypes.

    import zplr
    with zplr.Box(0) as box:
        number = box.wait_for_call(timeout=30)
        box.pick_up()
        print(number, box.wait_keys("#", timeout=10))

Results below 0 raise a subclass of Error named by its code: Closed (-1),
NotRunning (-2), Timeout (-3), BadArgument (-4).
"""
import atexit
import ctypes
import os
import threading
import time
import weakref
from typing import Callable, Dict, List, Optional, Tuple, Type, Union

from ._lib import lib
from ._wav import NotPlayable, playable

__all__ = [
    "Box", "Error", "Closed", "NotRunning", "Timeout", "BadArgument", "CallerIdFailed",
    "NotPlayable", "key_char", "lib",
]
__version__ = "3.0.4"

PathLike = Union[str, bytes, "os.PathLike[str]"]


class Error(Exception):
    """A result below 0 from the library; `code` holds it."""

    code = 0

    def __init__(self, code: int, operation: str) -> None:
        super().__init__(f"{operation}: {self._what(code)} ({code})")
        self.code = code
        self.operation = operation

    @staticmethod
    def _what(code: int) -> str:
        return {
            -1: "the box is not reachable",
            -2: "the session is not running, or the operation refused",
            -3: "no reply in time",
            -4: "bad argument or failed precondition",
        }.get(code, "failed")


class Closed(Error):
    """-1: the box is not reachable (not started, ended, unplugged)."""


class NotRunning(Error):
    """-2: the session is not running, or the refusal the operation names."""


class Timeout(Error):
    """-3: no reply in time."""


class BadArgument(Error):
    """-4: a bad argument or a failed precondition (line on hook, ...)."""


class CallerIdFailed(Error):
    """The box could not receive the caller ID (-2 of the number read)."""


_BY_CODE: Dict[int, Type[Error]] = {-1: Closed, -2: NotRunning, -3: Timeout, -4: BadArgument}


def _check(result: int, operation: str, codes: Optional[Dict[int, Type[Error]]] = None) -> int:
    if result < 0:
        cls = (codes or {}).get(result) or _BY_CODE.get(result, Error)
        raise cls(result, operation)
    return result


_KEYS = "?1234567890*#ABCD"


def key_char(code: int) -> str:
    """The key of a key code as the box reports it: 1-9, 10 '0', 11 '*', 12 '#'."""
    return _KEYS[code] if 0 <= code < len(_KEYS) else "?"


def _path(p: PathLike) -> bytes:
    return os.fsencode(p)


def _writable(p: PathLike) -> None:
    """Refuses, before a recording starts, a path the library would not
    write as given."""
    text = os.fsdecode(p)
    if "*" in text or "#" in text:
        kept = text.replace("*", "").replace("#", "")
        raise ValueError("%s: the library leaves '*' and '#' out of a path and would write %s"
                         % (text, kept))
    if not text or os.path.isdir(text):
        raise ValueError("%r is a folder, not a file to record to" % text)
    folder = os.path.dirname(os.path.abspath(text))
    if not os.path.isdir(folder):
        raise ValueError("%s: the folder %s does not exist" % (text, folder))
    if not os.access(folder, os.W_OK) or (os.path.exists(text) and not os.access(text, os.W_OK)):
        raise ValueError("%s cannot be written" % text)


# Sessions still open at interpreter exit are ended before the interpreter
# tears down, while the library and its threads are still whole.
_open: "weakref.WeakSet[Box]" = weakref.WeakSet()


@atexit.register
def _end_open_sessions() -> None:
    for box in list(_open):
        box.close()


class Box:
    """One ZL box, by its device index 0 to 3.

    Constructing never fails for an index 0 to 3, whether or not a box is
    there; `start()` (or entering a `with` block) starts its session, and
    operations on a box that is not reached raise Closed. `close()` (or
    leaving the `with` block, or the interpreter's exit) ends the session.
    Two Box objects of one index drive the same box; closing either (or
    dropping it, which closes it) ends its session, as the C++ destructor
    does. Calls on one box come from one thread at a time.
    """

    FRAME = 256        # bytes of one frame of the raw sound stream
    SAMPLES = 250      # A-law samples in a frame
    RATE = 8000        # samples a second

    def __init__(self, index: int = 0) -> None:
        if not isinstance(index, int) or not 0 <= index <= 3:
            raise ValueError(f"device index {index!r}: 0 to 3")
        self._lib = lib()
        self._h: Optional[int] = self._lib.zplr_open(index)
        if not self._h:
            raise MemoryError("zplr_open failed")
        self.index = index
        self._lock = threading.Lock()
        self._pending = ""  # keys a recording took while watching for its stop key
        _open.add(self)

    # ---- session ----

    def __enter__(self) -> "Box":
        self.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        state = "closed" if self._h is None else ("reached" if self.connected else "not reached")
        return f"<zplr.Box {self.index} {state}>"

    @property
    def handle(self) -> int:
        """The C handle, for functions of zplr.lib() this class does not wrap."""
        if self._h is None:
            raise Closed(-1, "handle")
        return self._h

    def start(self, wait: float = 2.0) -> bool:
        """Starts the session and waits up to `wait` seconds for the box.

        Returns whether it was reached; the threads go on trying if not.
        """
        self._lib.zplr_initial_usb_io_ex(self.handle, 0)
        end = time.monotonic() + wait
        while not self.connected and time.monotonic() < end:
            time.sleep(0.01)
        return self.connected

    def end(self) -> None:
        """Ends the session; the object stays usable for start()."""
        self._lib.zplr_exist_usb_io(self.handle)

    def close(self) -> None:
        """Ends the session and frees the handle; later calls raise Closed."""
        with self._lock:
            h, self._h = self._h, None
        if h is not None:
            self._lib.zplr_close(h)
            _open.discard(self)

    @property
    def connected(self) -> bool:
        """True while commands can reach the box."""
        return self._h is not None and self._lib.zplr_if_connect_usb(self._h) == 0

    @property
    def status(self) -> int:
        """The whole status word."""
        return self._lib.zplr_get_tel_status(self.handle) & 0xFFFFFFFF

    def sleep(self, seconds: float) -> None:
        time.sleep(seconds)

    # ---- line ----

    def pick_up(self, param: Optional[int] = None) -> None:
        """Takes the line off hook (with a parameter for the box if given)."""
        if param is None:
            _check(self._lib.zplr_pick_up(self.handle), "pick_up")
        else:
            _check(self._lib.zplr_pick_up_est(self.handle, param), "pick_up")

    def put_down(self, param: Optional[int] = None) -> None:
        """Puts the line on hook."""
        if param is None:
            _check(self._lib.zplr_put_down(self.handle), "put_down")
        else:
            _check(self._lib.zplr_put_down_est(self.handle, param), "put_down")

    @property
    def off_hook(self) -> bool:
        return self._lib.zplr_check_put_down(self.handle) == 1

    @property
    def phone_off_hook(self) -> bool:
        """The telephone set on the box."""
        return self._lib.zplr_read_phone_status(self.handle) == 1

    def call_came_in(self) -> bool:
        """True once for each incoming call (the sign is cleared)."""
        return self._lib.zplr_check_call_status(self.handle) == 1

    def wait_for_call(self, timeout: Optional[float] = None, number_wait: float = 3.0) -> str:
        """Waits for an incoming call and returns the caller's number.

        The number follows the first ring; it is "" when none came within
        `number_wait` seconds. Raises Timeout after `timeout` seconds.
        """
        end = None if timeout is None else time.monotonic() + timeout
        while not self.call_came_in():
            if not self.connected:
                raise Closed(-1, "wait_for_call")
            if end is not None and time.monotonic() >= end:
                raise Timeout(-3, "wait_for_call")
            time.sleep(0.02)
        until = time.monotonic() + number_wait
        number = self.caller_number()
        while not number and time.monotonic() < until:
            time.sleep(0.02)
            number = self.caller_number()
        return number

    def caller_number(self) -> str:
        """The last caller's number ("" when none came); acknowledges the call."""
        buf = (ctypes.c_uint8 * 61)()
        _check(self._lib.zplr_read_call_nmb(self.handle, buf), "caller_number",
               {-2: CallerIdFailed})
        return bytes(buf).split(b"\0", 1)[0].decode("latin-1")

    def key(self) -> Optional[str]:
        """The oldest key pressed, or None when there is none."""
        if self._pending:
            k, self._pending = self._pending[0], self._pending[1:]
            return k
        return self._take_key()

    def _take_key(self) -> Optional[str]:
        code = (ctypes.c_uint8 * 2)()
        r = self._lib.zplr_get_dtmf_code(self.handle, code)
        if r == -4:
            return None
        _check(r, "key")
        return key_char(code[0])

    def keys(self) -> str:
        """The keys pressed so far and not yet taken, as text."""
        out = []
        while True:
            k = self.key()
            if k is None:
                return "".join(out)
            out.append(k)

    def wait_keys(self, until: str = "#", timeout: float = 10.0, count: int = 0) -> str:
        """Keys as they come, up to and including `until`, or `count` keys,
        or whatever came within `timeout` seconds."""
        end = time.monotonic() + timeout
        out = ""
        while time.monotonic() < end:
            k = self.key()
            if k is None:
                time.sleep(0.02)
                continue
            out += k
            if (until and k in until) or (count and len(out) >= count):
                break
        return out

    def dial(self, number: str) -> None:
        """Dials a number (digits, '*', '#'; at most 41); the line must be off hook."""
        _check(self._lib.zplr_dial(self.handle, number.encode("ascii")), "dial")

    def set_dial_para(self, p1: int = 5, p2: int = 5, p3: int = 6) -> None:
        self._lib.zplr_set_dial_para(self.handle, p1, p2, p3)

    def answered(self) -> bool:
        """True once after the called party answered."""
        return _check(self._lib.zplr_get_called_pick_up_status(self.handle), "answered") == 1

    def busy(self) -> bool:
        """True once after a busy tone."""
        return self._lib.zplr_read_busy_bit(self.handle) == 1

    def start_tone_reports(self, mode: int = 1) -> None:
        """Asks the box for 450 Hz measurements (see tone_pairs)."""
        _check(self._lib.zplr_set_continue_return_450hz(self.handle, mode), "start_tone_reports")

    def tone_pairs(self) -> List[Tuple[int, int]]:
        """The 450 Hz measurement pairs waiting."""
        pair = (ctypes.c_uint16 * 2)()
        out = []
        while True:
            r = self._lib.zplr_get_450hz_recd(self.handle, pair)
            if r == -2:
                return out
            _check(r, "tone_pairs")
            out.append((pair[0], pair[1]))

    def flags(self) -> int:
        """The box's 32-bit flags word."""
        r = self._lib.zplr_read_flags(self.handle)
        if r in (-1, -2, -3):  # a word with bit 31 set is no error
            _check(r, "flags")
        return r & 0xFFFFFFFF

    # ---- audio path ----

    def mic_out(self, on: bool) -> None:
        _check(self._lib.zplr_if_mic_out(self.handle, 1 if on else 0), "mic_out")

    def mute(self, on: bool) -> None:
        _check(self._lib.zplr_if_mute(self.handle, 1 if on else 0), "mute")

    def line_mic(self, line: int) -> None:
        _check(self._lib.zplr_get_line_mic(self.handle, line), "line_mic")

    def set_amp(self, value: int) -> None:
        _check(self._lib.zplr_set_amp(self.handle, value), "set_amp")

    # ---- recording ----

    def start_record(self, path: PathLike, mode: int = 0) -> None:
        """Starts recording the line to an 8 kHz A-law WAV file (mode 0: off hook)."""
        _check(self._lib.zplr_start_record(self.handle, _path(path), mode), "start_record")

    def stop_record(self) -> int:
        """Ends the recording; returns the file's size in bytes."""
        return _check(self._lib.zplr_stop_record(self.handle), "stop_record")

    @property
    def record_length(self) -> int:
        """Bytes the current or last recording stored (header included)."""
        return self._lib.zplr_record_length(self.handle)

    def record(self, path: PathLike, seconds: float, until_key: str = "", mode: int = 0) -> int:
        """Records to a file (8 kHz A-law mono WAV) for `seconds`, or until a
        key of `until_key` is pressed or the line is released; returns the
        file's size. Keys pressed stay for keys().

        Refused with ValueError before the recording starts: a path that
        holds '*' or '#' (the library leaves them out and would write
        another file), that names a folder or lies in a folder that does not
        exist, seconds that are not above 0, keys other than 0-9 * # A-D."""
        _writable(path)
        if not isinstance(seconds, (int, float)) or not seconds > 0:
            raise ValueError("seconds %r is not a number above 0" % (seconds,))
        bad = [k for k in until_key if k not in _KEYS[1:]]
        if bad:
            raise ValueError("until_key: %r is not a key (0-9, *, #, A-D)" % bad[0])
        self.start_record(path, mode)
        try:
            end = time.monotonic() + seconds
            while time.monotonic() < end:
                if mode < 1 and not self.off_hook:
                    break
                k = self._take_key() if until_key else None
                if k is not None:
                    self._pending += k
                    if k in until_key:
                        break
                time.sleep(0.02)
        finally:
            size = self.stop_record()
        return size

    def record_bytes(self, seconds: float, mode: int = 1) -> bytes:
        """Records `seconds` of the line into memory: the A-law samples."""
        _check(self._lib.zplr_pc_record_open(self.handle, mode), "record_bytes")
        want = int(seconds * self.RATE / self.SAMPLES + 0.999) * self.FRAME
        stream = bytearray()
        buf = (ctypes.c_uint8 * 513)()
        try:
            while len(stream) < want:
                n = _check(self._lib.zplr_pc_record_read(self.handle, buf, 512), "record_bytes")
                stream += bytes(buf[:n])
                if n < 512:
                    break
        finally:
            self._lib.zplr_pc_record_close(self.handle)
        return self.samples_of(bytes(stream))

    @classmethod
    def samples_of(cls, stream: bytes) -> bytes:
        """The A-law samples of a raw stream of frames ("stcq", status, key, 250 samples)."""
        out = bytearray()
        i = stream.find(b"stcq")
        while i >= 0 and i + cls.FRAME <= len(stream):
            out += stream[i + 6:i + cls.FRAME]
            i = stream.find(b"stcq", i + cls.FRAME)
        return bytes(out)

    # ---- playback ----

    def start_play(self, path: PathLike, start_permille: int = 0, mode: int = 0,
                   option: int = 1, flag: int = 1) -> None:
        """Starts playing a file of the library's layout (48-byte header,
        8 kHz A-law mono); mode 0 needs the line off hook, 1 and 2 not."""
        _check(self._lib.zplr_start_play(self.handle, _path(path), start_permille, mode,
                                         option, flag), "start_play")

    def stop_play(self) -> None:
        _check(self._lib.zplr_stop_play(self.handle), "stop_play")

    @property
    def play_rate(self) -> int:
        """Thousandths played; 1000 at the end; -1 after the line was released."""
        return self._lib.zplr_play_rate(self.handle)

    @property
    def played_bytes(self) -> int:
        return self._lib.zplr_play_bytes(self.handle)

    def seek(self, permille: int) -> None:
        self._lib.zplr_play_seek(self.handle, permille)

    def play(self, path: PathLike, start_permille: int = 0, mode: int = 0,
             timeout: Optional[float] = None,
             progress: Optional[Callable[[int], None]] = None) -> bool:
        """Plays a WAV file to its end (True), or until the line is released
        or `timeout` seconds have passed (False); stops the playback either
        way.

        The box plays 8 kHz 8-bit A-law mono. Such a file in another WAV
        layout is copied into the library's own first (into a temporary
        file); any other file raises NotPlayable, before anything is sent,
        with its format named and a sox and an ffmpeg command that converts
        it."""
        if not 0 <= start_permille <= 1000:
            raise ValueError("start_permille %r is not 0 to 1000" % (start_permille,))
        source, temporary = playable(os.fsdecode(path))
        try:
            self.start_play(source, start_permille, mode)
            end = None if timeout is None else time.monotonic() + timeout
            try:
                while True:
                    rate = self.play_rate
                    if progress:
                        progress(rate)
                    if rate == 1000:
                        return True
                    if rate < 0 or (end is not None and time.monotonic() >= end):
                        return False
                    time.sleep(0.02)
            finally:
                self.stop_play()
        finally:
            if temporary:
                os.remove(source)

    def play_bytes(self, alaw: bytes) -> None:
        """Plays 8 kHz A-law samples from memory; the last block is filled
        up with silence to 256 bytes."""
        data = bytes(alaw)
        if len(data) % 256:
            data += b"\xd5" * (256 - len(data) % 256)
        _check(self._lib.zplr_pc_play_open(self.handle), "play_bytes")
        try:
            for i in range(0, len(data), 512):
                chunk = data[i:i + 512]
                buf = (ctypes.c_uint8 * len(chunk)).from_buffer_copy(chunk)
                _check(self._lib.zplr_pc_play_write(self.handle, buf, len(chunk)), "play_bytes")
        finally:
            _check(self._lib.zplr_pc_play_close(self.handle), "play_bytes")

    # ---- records ----

    def version(self) -> str:
        """The library's version text."""
        out = ctypes.create_string_buffer(23)
        self._lib.zplr_read_version(self.handle, out)
        return out.value.decode("latin-1")

    def customer_id(self) -> bytes:
        """The customer ID record, deciphered (16 bytes)."""
        return self._record(self._lib.zplr_read_customer_id, 17, "customer_id")

    def stm_device_id(self) -> bytes:
        """The box processor's 16-byte identifier."""
        return self._record(self._lib.zplr_read_stm_device_id, 17, "stm_device_id")

    def zl_type(self) -> int:
        return self._record(self._lib.zplr_read_zl_type, 2, "zl_type")[0]

    def temperature(self) -> int:
        """The box processor's temperature value, 0 to 255."""
        return _check(self._lib.zplr_read_stm32_temp(self.handle), "temperature")

    def _record(self, f: Callable[..., int], size: int, name: str) -> bytes:
        buf = (ctypes.c_uint8 * size)()
        _check(f(self.handle, buf), name)
        return bytes(buf[:size - 1])
