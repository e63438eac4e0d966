"""The virtual box for the package's tests: the test-only library named by
ZPLR_TESTBOX (built beside the suite) plugs one in at index 0."""
import ctypes
import os

import pytest


@pytest.fixture(scope="session")
def testbox():
    path = os.environ.get("ZPLR_TESTBOX")
    if not path:
        pytest.skip("ZPLR_TESTBOX names no test box library")
    import zplr
    zplr.lib()  # the library first, so that the test box shares it
    tb = ctypes.CDLL(path)
    tb.zplr_testbox_ring.argtypes = [ctypes.c_int32, ctypes.c_char_p, ctypes.c_int32]
    tb.zplr_testbox_press_keys.argtypes = [ctypes.c_int32, ctypes.c_char_p]
    tb.zplr_testbox_sound_out.argtypes = [ctypes.c_int32, ctypes.c_void_p, ctypes.c_size_t]
    tb.zplr_testbox_sound_out.restype = ctypes.c_size_t
    tb.zplr_testbox_withhold_replies.argtypes = [ctypes.c_int32, ctypes.c_int32]
    tb.zplr_testbox_set_flags.argtypes = [ctypes.c_int32, ctypes.c_uint32]
    tb.zplr_testbox_send_report.argtypes = [ctypes.c_int32, ctypes.c_void_p]
    tb.zplr_testbox_plug(0)
    tb.zplr_testbox_unpaced(0)
    return tb


@pytest.fixture
def scratch(tmp_path):
    return tmp_path
