// The C interface: each function forwards to one member of the object behind
// the handle. Nothing of C++ leaves: no exception, no C++ type.
#include "zPLR_c.h"

#include <new>

#include "zPLR.h"

static_assert(sizeof(int) == sizeof(int32_t), "int32_t stands for the members' int");

struct zplr_box {
    explicit zplr_box(int index) : Io(index) {}
    CZusb_IO Io;
};

namespace {

const char EmptyText[] = "";

// Calls f on the handle's object; `none` for a null handle, `failed` should
// the member throw.
template <class R, class F>
R Call(zplr_box *h, R none, R failed, F f) noexcept
{
    if (!h)
        return none;
    try {
        return f(h->Io);
    } catch (...) {
        return failed;
    }
}

template <class F>
int32_t Int(zplr_box *h, F f) noexcept
{
    return Call<int32_t>(h, ZPLR_BAD_ARGUMENT, ZPLR_NOT_RUNNING, f);
}

template <class F>
void Void(zplr_box *h, F f) noexcept
{
    if (!h)
        return;
    try {
        f(h->Io);
    } catch (...) {
    }
}

// The members take plain pointers for what they only read.
inline unsigned char *In(const uint8_t *p) { return const_cast<unsigned char *>(p); }
inline char *In(const char *p) { return const_cast<char *>(p); }

}  // namespace

extern "C" {

// ---- session ----

zplr_box *ZPLR_CALL zplr_open(int32_t index)
{
    if (index < 0 || index > 3)
        return nullptr;
    try {
        return new (std::nothrow) zplr_box(index);
    } catch (...) {
        return nullptr;
    }
}

void ZPLR_CALL zplr_close(zplr_box *h)
{
    try {
        delete h;  // the destructor ends the box's session
    } catch (...) {
    }
}

int32_t ZPLR_CALL zplr_device_index(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.DeviceIndex; });
}

int32_t ZPLR_CALL zplr_initial_usb_io_ex(zplr_box *h, int32_t reserved)
{
    return Int(h, [=](CZusb_IO &io) { return io.InitialUSB_IOEx(reserved); });
}

int32_t ZPLR_CALL zplr_exist_usb_io(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.ExistUSB_IO(); });
}

int32_t ZPLR_CALL zplr_if_connect_usb(zplr_box *h)
{
    return Call<int32_t>(h, 1, 1, [](CZusb_IO &io) { return io.IfConnectUSB(); });
}

void ZPLR_CALL zplr_if_not_complete_init_usb(zplr_box *h)
{
    Void(h, [](CZusb_IO &io) { io.IfNotCompleteInitUSB(); });
}

// ---- raw commands and status ----

int32_t ZPLR_CALL zplr_write_data_to_usb(zplr_box *h, uint8_t *packet)
{
    return Int(h, [=](CZusb_IO &io) { return io.Write_Data_to_USB(packet); });
}

void ZPLR_CALL zplr_proc_zl_status(zplr_box *h, uint8_t *status)
{
    Void(h, [=](CZusb_IO &io) { io.ProcZLStatus(status); });
}

int32_t ZPLR_CALL zplr_get_tel_status(zplr_box *h)
{
    return Call<int32_t>(h, 0x200, 0x200, [](CZusb_IO &io) { return io.GetTelStatus(); });
}

void ZPLR_CALL zplr_set_tel_status(zplr_box *h, int32_t value)
{
    Void(h, [=](CZusb_IO &io) { io.SetTelStatus(value); });
}

// ---- line ----

int32_t ZPLR_CALL zplr_pick_up(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.PickUp(); });
}

int32_t ZPLR_CALL zplr_pick_up_est(zplr_box *h, int32_t param)
{
    return Int(h, [=](CZusb_IO &io) { return io.PickUpEst(param); });
}

int32_t ZPLR_CALL zplr_put_down(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.PutDown(); });
}

int32_t ZPLR_CALL zplr_put_down_est(zplr_box *h, int32_t param)
{
    return Int(h, [=](CZusb_IO &io) { return io.PutDownEst(param); });
}

int32_t ZPLR_CALL zplr_set_estimate_status(zplr_box *h, int32_t status)
{
    return Int(h, [=](CZusb_IO &io) { return io.SetEstimateStatus(status); });
}

int32_t ZPLR_CALL zplr_set_next_call_delay(zplr_box *h, int32_t delay)
{
    return Int(h, [=](CZusb_IO &io) { return io.SetNextCallDelay(delay); });
}

int32_t ZPLR_CALL zplr_detect_ring(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.DetectRing(); });
}

int32_t ZPLR_CALL zplr_check_call_status(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.CheckCallStatus(); });
}

void ZPLR_CALL zplr_clear_call_bit(zplr_box *h)
{
    Void(h, [](CZusb_IO &io) { io.ClearCallBit(); });
}

int32_t ZPLR_CALL zplr_get_called_pick_up_status(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.GetCalledPickUpStatus(); });
}

int32_t ZPLR_CALL zplr_check_put_down(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.CheckPutDown(); });
}

int32_t ZPLR_CALL zplr_read_phone_status(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.ReadPhoneStatus(); });
}

int32_t ZPLR_CALL zplr_line_pick_up_mode(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.LinePickUpMode(); });
}

int32_t ZPLR_CALL zplr_check_can_next_call_in(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.CheckCanNextCallIn(); });
}

int32_t ZPLR_CALL zplr_read_flags(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.ReaddiFlagsValue(); });
}

void ZPLR_CALL zplr_tel_sleep(zplr_box *h, int32_t ms)
{
    Void(h, [=](CZusb_IO &io) { io.TelSleep(ms); });
}

// ---- dialling ----

int32_t ZPLR_CALL zplr_dial(zplr_box *h, const char *number)
{
    return Int(h, [=](CZusb_IO &io) { return io.DialNmb(In(number)); });
}

int32_t ZPLR_CALL zplr_set_dial_para(zplr_box *h, int32_t p1, int32_t p2, int32_t p3)
{
    return Int(h, [=](CZusb_IO &io) { return io.SetDialPara(p1, p2, p3); });
}

int32_t ZPLR_CALL zplr_set_dial_para_to_zl(zplr_box *h, int32_t a, int32_t b, int32_t c)
{
    return Int(h, [=](CZusb_IO &io) { return io.SetDialParaToZL(a, b, c); });
}

// ---- caller ID and keys ----

int32_t ZPLR_CALL zplr_read_call_nmb(zplr_box *h, uint8_t *number)
{
    return Int(h, [=](CZusb_IO &io) { return io.Read_Call_Nmb(number); });
}

const char *ZPLR_CALL zplr_read_str_call_nmb(zplr_box *h)
{
    const char *t = Call<const char *>(h, EmptyText, EmptyText,
                                       [](CZusb_IO &io) { return io.ReadstrCallNmb(); });
    return t ? t : EmptyText;
}

int32_t ZPLR_CALL zplr_get_dtmf_code(zplr_box *h, uint8_t *code)
{
    return Int(h, [=](CZusb_IO &io) { return io.GetDTMFCode(code); });
}

int32_t ZPLR_CALL zplr_get_dtmf_codes(zplr_box *h, uint8_t *codes)
{
    return Int(h, [=](CZusb_IO &io) { return io.TestTool_GetDTMFCode(codes); });
}

int32_t ZPLR_CALL zplr_set_check_dtmf_call(zplr_box *h, int32_t on)
{
    return Int(h, [=](CZusb_IO &io) { return io.SetCheckDTMFCall(on); });
}

int32_t ZPLR_CALL zplr_set_fsk_param(zplr_box *h, int32_t p1, int32_t p2)
{
    return Int(h, [=](CZusb_IO &io) { return io.SetFSKParam(p1, p2); });
}

int32_t ZPLR_CALL zplr_set_get_fsk_oe_data(zplr_box *h, int32_t mode)
{
    return Int(h, [=](CZusb_IO &io) { return io.SetGetFSKOEData(mode); });
}

int32_t ZPLR_CALL zplr_get_oe_data(zplr_box *h, uint8_t select, uint8_t *data)
{
    return Int(h, [=](CZusb_IO &io) { return io.GetOEData(select, data); });
}

// ---- call-progress tones ----

int32_t ZPLR_CALL zplr_set_continue_return_450hz(zplr_box *h, int32_t mode)
{
    return Int(h, [=](CZusb_IO &io) { return io.SetContinueReturn450Hz(mode); });
}

int32_t ZPLR_CALL zplr_get_450hz_recd(zplr_box *h, uint16_t *pair)
{
    return Int(h, [=](CZusb_IO &io) { return io.Get450HzRecd(pair); });
}

int32_t ZPLR_CALL zplr_read_busy_bit(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.ReadBusyBit(); });
}

void ZPLR_CALL zplr_clear_busy_check_bit(zplr_box *h)
{
    Void(h, [](CZusb_IO &io) { io.ClearBusyCheckBit(); });
}

int32_t ZPLR_CALL zplr_set_detect_sound_value(zplr_box *h, int32_t level)
{
    return Int(h, [=](CZusb_IO &io) { return io.SetDetectSoundValue(level); });
}

// ---- audio path ----

int32_t ZPLR_CALL zplr_if_mic_out(zplr_box *h, int32_t on)
{
    return Int(h, [=](CZusb_IO &io) { return io.IfMicOut(on); });
}

int32_t ZPLR_CALL zplr_if_mute(zplr_box *h, int32_t on)
{
    return Int(h, [=](CZusb_IO &io) { return io.IfMute(on); });
}

int32_t ZPLR_CALL zplr_get_line_mic(zplr_box *h, int32_t line)
{
    return Int(h, [=](CZusb_IO &io) { return io.GetLine_Mic(line); });
}

int32_t ZPLR_CALL zplr_set_amp(zplr_box *h, int32_t value)
{
    return Int(h, [=](CZusb_IO &io) { return io.SetAmp(value); });
}

// ---- recording ----

int32_t ZPLR_CALL zplr_start_record(zplr_box *h, const char *path, int32_t mode)
{
    return Int(h, [=](CZusb_IO &io) { return io.StartReadSound(path, mode); });
}

int32_t ZPLR_CALL zplr_stop_record(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.StopReadSound(); });
}

int32_t ZPLR_CALL zplr_set_record_status(zplr_box *h, int32_t on, int32_t mode)
{
    return Int(h, [=](CZusb_IO &io) { return io.SetRecordStatus(on != 0, mode); });
}

uint32_t ZPLR_CALL zplr_record_length(zplr_box *h)
{
    return Call<uint32_t>(h, 0, 0, [](CZusb_IO &io) { return io.ReadRecLength(); });
}

// ---- playback ----

int32_t ZPLR_CALL zplr_start_play(zplr_box *h, const char *path, int32_t start_permille,
                                  int32_t mode, int32_t option, int32_t flag)
{
    return Int(h, [=](CZusb_IO &io) {
        return io.StartPlaySound(path, start_permille, mode, option, flag);
    });
}

int32_t ZPLR_CALL zplr_stop_play(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.StopPlaySound(); });
}

int32_t ZPLR_CALL zplr_set_play_status(zplr_box *h, uint8_t start, uint8_t mode, uint8_t option,
                                       uint8_t flag)
{
    return Int(h, [=](CZusb_IO &io) { return io.SetPlayStatus(start, mode, option, flag); });
}

int32_t ZPLR_CALL zplr_file_exists(zplr_box *h, const char *path)
{
    return Int(h, [=](CZusb_IO &io) { return io.CheckWavFileExist(In(path)); });
}

int32_t ZPLR_CALL zplr_play_rate(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.GetWriteSoundRate(); });
}

uint64_t ZPLR_CALL zplr_play_bytes(zplr_box *h)
{
    return Call<uint64_t>(h, 0, 0, [](CZusb_IO &io) { return io.GetWriteSoundBytes(); });
}

void ZPLR_CALL zplr_play_seek(zplr_box *h, int32_t permille)
{
    Void(h, [=](CZusb_IO &io) { io.SeekFilePointForTelInfo(permille); });
}

// ---- sound to and from memory ----

int32_t ZPLR_CALL zplr_pc_record_open(zplr_box *h, int32_t mode)
{
    return Int(h, [=](CZusb_IO &io) { return io.OpenReadSoundInPC(mode); });
}

int32_t ZPLR_CALL zplr_pc_record_read(zplr_box *h, uint8_t *buffer, int32_t length)
{
    return Int(h, [=](CZusb_IO &io) { return io.ReadSoundFromBufferToPC(buffer, length); });
}

int32_t ZPLR_CALL zplr_pc_record_close(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.CloseReadSoundInPC(); });
}

int32_t ZPLR_CALL zplr_pc_play_open(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.OpenWriteSoundToBuff(); });
}

int32_t ZPLR_CALL zplr_pc_play_write(zplr_box *h, const uint8_t *buffer, int32_t length)
{
    return Int(h, [=](CZusb_IO &io) { return io.WriteSoundFromPCToBuffer(In(buffer), length); });
}

int32_t ZPLR_CALL zplr_pc_play_close(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.CloseWriteSoundToBuff(); });
}

// ---- device records ----

int32_t ZPLR_CALL zplr_read_customer_id(zplr_box *h, uint8_t *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.ReadCustomerID(out); });
}

const char *ZPLR_CALL zplr_read_str_customer_id(zplr_box *h)
{
    const char *t = Call<const char *>(h, EmptyText, EmptyText,
                                       [](CZusb_IO &io) { return io.ReadstrCustomerID(); });
    return t ? t : EmptyText;
}

int32_t ZPLR_CALL zplr_modify_customer_id(zplr_box *h, const char *id)
{
    return Int(h, [=](CZusb_IO &io) {
        return io.ModifyCustomerID(reinterpret_cast<unsigned char *>(In(id)));
    });
}

int32_t ZPLR_CALL zplr_read_module_nmb(zplr_box *h, uint8_t *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.ReadModuleNmb(out); });
}

int32_t ZPLR_CALL zplr_read_manu_serial(zplr_box *h, uint8_t *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.ReadManuSerial(out); });
}

int32_t ZPLR_CALL zplr_read_adapt_char(zplr_box *h, uint8_t *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.ReadAdaptChar(out); });
}

void ZPLR_CALL zplr_set_key(zplr_box *h, const uint8_t *key)
{
    Void(h, [=](CZusb_IO &io) { io.SetKey(In(key)); });
}

int32_t ZPLR_CALL zplr_read_zl_type(zplr_box *h, uint8_t *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.ReadZL_Type(out); });
}

int32_t ZPLR_CALL zplr_read_writing_info_counter(zplr_box *h, uint8_t *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.ReadWritingInfoCounter(out); });
}

int32_t ZPLR_CALL zplr_read_hsp_info(zplr_box *h, uint8_t *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.ReadHSPInfo(out); });
}

int32_t ZPLR_CALL zplr_read_sp_sum(zplr_box *h, uint8_t *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.ReadSP_Sum(out); });
}

int32_t ZPLR_CALL zplr_read_stm_device_id(zplr_box *h, uint8_t *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.ReadSTMDeviceID(out); });
}

int32_t ZPLR_CALL zplr_read_stm32_temp(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.ReadSTM32Temp(); });
}

int32_t ZPLR_CALL zplr_mod_k_ver(zplr_box *h, uint8_t value)
{
    return Int(h, [=](CZusb_IO &io) { return io.ModKVer(value); });
}

int32_t ZPLR_CALL zplr_set_zl_device_nmb(zplr_box *h, const uint8_t *record)
{
    return Int(h, [=](CZusb_IO &io) { return io.SetZLDeviceNmb(In(record)); });
}

void ZPLR_CALL zplr_read_version(zplr_box *h, char *out)
{
    if (!h) {
        if (out)
            out[0] = 0;
        return;
    }
    Void(h, [=](CZusb_IO &io) { io.ReadzPLRVersion(out); });
}

// ---- maintenance ----

int32_t ZPLR_CALL zplr_write_data_to_flash(zplr_box *h, const uint8_t *data)
{
    return Int(h, [=](CZusb_IO &io) { return io.WriteDataToFlash(In(data)); });
}

int32_t ZPLR_CALL zplr_fs_open(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.FS_Open(); });
}

int32_t ZPLR_CALL zplr_fs_close(zplr_box *h)
{
    return Int(h, [](CZusb_IO &io) { return io.FS_Close(); });
}

int32_t ZPLR_CALL zplr_read_adc01_modified(zplr_box *h, uint8_t *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.Read_ADC01_Modified(out); });
}

int32_t ZPLR_CALL zplr_read_adc_mod_value(zplr_box *h, uint16_t *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.ReadADCModValue(out); });
}

int32_t ZPLR_CALL zplr_test_end0_wr(zplr_box *h, uint8_t code, uint8_t *buf)
{
    return Int(h, [=](CZusb_IO &io) { return io.Test_End0_WR(code, buf); });
}

int32_t ZPLR_CALL zplr_test_u2(zplr_box *h, uint8_t value)
{
    return Int(h, [=](CZusb_IO &io) { return io.Test_U2(value); });
}

int32_t ZPLR_CALL zplr_test_status(zplr_box *h, uint8_t value)
{
    return Int(h, [=](CZusb_IO &io) { return io.Test_Status(value); });
}

int32_t ZPLR_CALL zplr_test_ctrl_out(zplr_box *h, int32_t a, int32_t b)
{
    return Int(h, [=](CZusb_IO &io) { return io.Test_CtrlOut(a, b); });
}

int32_t ZPLR_CALL zplr_test_flash(zplr_box *h, int32_t a, const int32_t *values)
{
    return Int(h, [=](CZusb_IO &io) { return io.Test_Flash(a, const_cast<int *>(values)); });
}

int32_t ZPLR_CALL zplr_get_year(zplr_box *h, char *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.GetYear(out); });
}

int32_t ZPLR_CALL zplr_get_month(zplr_box *h, char *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.GetMoth(out); });
}

int32_t ZPLR_CALL zplr_get_day(zplr_box *h, char *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.GetDay(out); });
}

int32_t ZPLR_CALL zplr_get_hour(zplr_box *h, char *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.GetHour(out); });
}

int32_t ZPLR_CALL zplr_get_minute(zplr_box *h, char *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.GetMin(out); });
}

int32_t ZPLR_CALL zplr_get_second(zplr_box *h, char *out)
{
    return Int(h, [=](CZusb_IO &io) { return io.GetSec(out); });
}

}  // extern "C"
