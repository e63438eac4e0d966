"""Finding the zPLR library and declaring its C functions to ctypes."""
import ctypes
import ctypes.util
import os
import sys
import threading
from typing import List, Optional

_u8p = ctypes.POINTER(ctypes.c_uint8)
_u16p = ctypes.POINTER(ctypes.c_uint16)
_i32p = ctypes.POINTER(ctypes.c_int32)
_h = ctypes.c_void_p
_i32 = ctypes.c_int32
_u8 = ctypes.c_uint8
_cp = ctypes.c_char_p

# name: (result, arguments); every function of zPLR_c.h.
_FUNCTIONS = {
    "zplr_open": (_h, [_i32]),
    "zplr_close": (None, [_h]),
    "zplr_device_index": (_i32, [_h]),
    "zplr_initial_usb_io_ex": (_i32, [_h, _i32]),
    "zplr_exist_usb_io": (_i32, [_h]),
    "zplr_if_connect_usb": (_i32, [_h]),
    "zplr_if_not_complete_init_usb": (None, [_h]),
    "zplr_write_data_to_usb": (_i32, [_h, _u8p]),
    "zplr_proc_zl_status": (None, [_h, _u8p]),
    "zplr_get_tel_status": (_i32, [_h]),
    "zplr_set_tel_status": (None, [_h, _i32]),
    "zplr_pick_up": (_i32, [_h]),
    "zplr_pick_up_est": (_i32, [_h, _i32]),
    "zplr_put_down": (_i32, [_h]),
    "zplr_put_down_est": (_i32, [_h, _i32]),
    "zplr_set_estimate_status": (_i32, [_h, _i32]),
    "zplr_set_next_call_delay": (_i32, [_h, _i32]),
    "zplr_detect_ring": (_i32, [_h]),
    "zplr_check_call_status": (_i32, [_h]),
    "zplr_clear_call_bit": (None, [_h]),
    "zplr_get_called_pick_up_status": (_i32, [_h]),
    "zplr_check_put_down": (_i32, [_h]),
    "zplr_read_phone_status": (_i32, [_h]),
    "zplr_line_pick_up_mode": (_i32, [_h]),
    "zplr_check_can_next_call_in": (_i32, [_h]),
    "zplr_read_flags": (_i32, [_h]),
    "zplr_tel_sleep": (None, [_h, _i32]),
    "zplr_dial": (_i32, [_h, _cp]),
    "zplr_set_dial_para": (_i32, [_h, _i32, _i32, _i32]),
    "zplr_set_dial_para_to_zl": (_i32, [_h, _i32, _i32, _i32]),
    "zplr_read_call_nmb": (_i32, [_h, _u8p]),
    "zplr_read_str_call_nmb": (_cp, [_h]),
    "zplr_get_dtmf_code": (_i32, [_h, _u8p]),
    "zplr_get_dtmf_codes": (_i32, [_h, _u8p]),
    "zplr_set_check_dtmf_call": (_i32, [_h, _i32]),
    "zplr_set_fsk_param": (_i32, [_h, _i32, _i32]),
    "zplr_set_get_fsk_oe_data": (_i32, [_h, _i32]),
    "zplr_get_oe_data": (_i32, [_h, _u8, _u8p]),
    "zplr_set_continue_return_450hz": (_i32, [_h, _i32]),
    "zplr_get_450hz_recd": (_i32, [_h, _u16p]),
    "zplr_read_busy_bit": (_i32, [_h]),
    "zplr_clear_busy_check_bit": (None, [_h]),
    "zplr_set_detect_sound_value": (_i32, [_h, _i32]),
    "zplr_if_mic_out": (_i32, [_h, _i32]),
    "zplr_if_mute": (_i32, [_h, _i32]),
    "zplr_get_line_mic": (_i32, [_h, _i32]),
    "zplr_set_amp": (_i32, [_h, _i32]),
    "zplr_start_record": (_i32, [_h, _cp, _i32]),
    "zplr_stop_record": (_i32, [_h]),
    "zplr_set_record_status": (_i32, [_h, _i32, _i32]),
    "zplr_record_length": (ctypes.c_uint32, [_h]),
    "zplr_start_play": (_i32, [_h, _cp, _i32, _i32, _i32, _i32]),
    "zplr_stop_play": (_i32, [_h]),
    "zplr_set_play_status": (_i32, [_h, _u8, _u8, _u8, _u8]),
    "zplr_file_exists": (_i32, [_h, _cp]),
    "zplr_play_rate": (_i32, [_h]),
    "zplr_play_bytes": (ctypes.c_uint64, [_h]),
    "zplr_play_seek": (None, [_h, _i32]),
    "zplr_pc_record_open": (_i32, [_h, _i32]),
    "zplr_pc_record_read": (_i32, [_h, _u8p, _i32]),
    "zplr_pc_record_close": (_i32, [_h]),
    "zplr_pc_play_open": (_i32, [_h]),
    "zplr_pc_play_write": (_i32, [_h, _u8p, _i32]),
    "zplr_pc_play_close": (_i32, [_h]),
    "zplr_read_customer_id": (_i32, [_h, _u8p]),
    "zplr_read_str_customer_id": (_cp, [_h]),
    "zplr_modify_customer_id": (_i32, [_h, _cp]),
    "zplr_read_module_nmb": (_i32, [_h, _u8p]),
    "zplr_read_manu_serial": (_i32, [_h, _u8p]),
    "zplr_read_adapt_char": (_i32, [_h, _u8p]),
    "zplr_set_key": (None, [_h, _u8p]),
    "zplr_read_zl_type": (_i32, [_h, _u8p]),
    "zplr_read_writing_info_counter": (_i32, [_h, _u8p]),
    "zplr_read_hsp_info": (_i32, [_h, _u8p]),
    "zplr_read_sp_sum": (_i32, [_h, _u8p]),
    "zplr_read_stm_device_id": (_i32, [_h, _u8p]),
    "zplr_read_stm32_temp": (_i32, [_h]),
    "zplr_mod_k_ver": (_i32, [_h, _u8]),
    "zplr_set_zl_device_nmb": (_i32, [_h, _u8p]),
    "zplr_read_version": (None, [_h, ctypes.c_char_p]),
    "zplr_write_data_to_flash": (_i32, [_h, _u8p]),
    "zplr_fs_open": (_i32, [_h]),
    "zplr_fs_close": (_i32, [_h]),
    "zplr_read_adc01_modified": (_i32, [_h, _u8p]),
    "zplr_read_adc_mod_value": (_i32, [_h, _u16p]),
    "zplr_test_end0_wr": (_i32, [_h, _u8, _u8p]),
    "zplr_test_u2": (_i32, [_h, _u8]),
    "zplr_test_status": (_i32, [_h, _u8]),
    "zplr_test_ctrl_out": (_i32, [_h, _i32, _i32]),
    "zplr_test_flash": (_i32, [_h, _i32, _i32p]),
    "zplr_get_year": (_i32, [_h, ctypes.c_char_p]),
    "zplr_get_month": (_i32, [_h, ctypes.c_char_p]),
    "zplr_get_day": (_i32, [_h, ctypes.c_char_p]),
    "zplr_get_hour": (_i32, [_h, ctypes.c_char_p]),
    "zplr_get_minute": (_i32, [_h, ctypes.c_char_p]),
    "zplr_get_second": (_i32, [_h, ctypes.c_char_p]),
}

_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None


def _names() -> List[str]:
    if sys.platform == "win32":
        return ["zPLR.dll"]
    if sys.platform == "darwin":
        return ["libzPLR.dylib"]
    return ["libzPLR.so", "libzPLR.so.3"]


def _candidates() -> List[str]:
    """Where the library is looked for, in order."""
    env = os.environ.get("ZPLR_LIBRARY")
    if env:
        return [env]  # named explicitly: nothing else
    here = os.path.dirname(os.path.abspath(__file__))
    found = [os.path.join(here, n) for n in _names() if os.path.exists(os.path.join(here, n))]
    found += _names()  # the loader's own search path
    util = ctypes.util.find_library("zPLR")
    if util:
        found.append(util)
    return found


def lib() -> ctypes.CDLL:
    """The zPLR library with every function of its C interface declared.

    Loaded on first use from ZPLR_LIBRARY, else beside this package, else
    from the loader's path. Raises OSError when it is nowhere.
    """
    global _lib
    with _lock:
        if _lib is not None:
            return _lib
        errors = []
        for path in _candidates():
            try:
                # cdecl on every platform: CDLL, not WinDLL.
                loaded = ctypes.CDLL(path)
            except OSError as e:
                errors.append(f"{path}: {e}")
                continue
            for name, (res, args) in _FUNCTIONS.items():
                f = getattr(loaded, name)
                f.restype = res
                f.argtypes = args
            _lib = loaded
            return _lib
        raise OSError("zPLR library not found (set ZPLR_LIBRARY to its path): " + "; ".join(errors))
