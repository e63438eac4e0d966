/* zPLR C interface: CZusb_IO for C and for any language with a C foreign
 * function interface (C#, Delphi, Python ctypes, Go cgo, ...).
 *
 * Plain C99; compiles as C and as C++. Exported by the same libzPLR.so and
 * zPLR.dll as the class, under the names below.
 */
/** @file zPLR_c.h
 *  @brief The C interface: one function per operation of CZusb_IO.
 *
 *  A handle stands for one CZusb_IO object of a device index (zplr_open());
 *  each function calls the member named in its entry, on that object, with
 *  the same arguments, buffers and results (@ref results). Buffer sizes are
 *  those of the members and are given with each entry. Two handles of one
 *  index drive the same box; zplr_close() on either ends that box's session,
 *  as the destructor does. Calls on one box come from one application thread
 *  at a time.
 *
 *  A null handle never reaches a member: int results are then
 *  #ZPLR_BAD_ARGUMENT (-4), except zplr_if_connect_usb() (1, not
 *  reachable) and zplr_get_tel_status() (0x200, the not-reachable bit
 *  alone); unsigned results are 0, texts are empty, and functions without a
 *  result do nothing. No C++ exception leaves a function: should a member
 *  throw, the function returns #ZPLR_NOT_RUNNING (-2) or its null-handle
 *  result.
 *
 *  Calling convention: cdecl (#ZPLR_CALL) on 32-bit Windows, the platform's
 *  only one elsewhere. Declare the functions cdecl in other languages
 *  (C#: CallingConvention.Cdecl; Delphi: cdecl; Python: ctypes.CDLL). On
 *  32-bit Windows the DLL exports them undecorated (no leading underscore,
 *  no \@N suffix).
 */
#ifndef ZPLR_C_H
#define ZPLR_C_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(ZPLR_BUILDING)
#    define ZPLR_C_API __declspec(dllexport)
#  else
#    define ZPLR_C_API __declspec(dllimport)
#  endif
#  if defined(_WIN64)
#    define ZPLR_CALL
#  else
#    define ZPLR_CALL __cdecl
#  endif
#else
#  define ZPLR_C_API __attribute__((visibility("default")))
#  define ZPLR_CALL
#endif
/** @def ZPLR_C_API
 *  @brief Marks the functions the library exports. */
/** @def ZPLR_CALL
 *  @brief The calling convention of every function: __cdecl on 32-bit
 *  Windows, nothing elsewhere. */

#ifdef __cplusplus
extern "C" {
#endif

/** @brief Result 1: success. */
#define ZPLR_OK 1
/** @brief Result -1: the box is not reachable. */
#define ZPLR_CLOSED (-1)
/** @brief Result -2: the session is not running (or the refusal the
 *  function's member names). */
#define ZPLR_NOT_RUNNING (-2)
/** @brief Result -3: no reply in time. */
#define ZPLR_TIMEOUT (-3)
/** @brief Result -4: a bad argument (a null handle too) or a failed
 *  precondition. */
#define ZPLR_BAD_ARGUMENT (-4)

/** @brief Opaque handle of one CZusb_IO object. */
typedef struct zplr_box zplr_box;

/** @name Session
 *  @{ */

/** @brief Creates the object of a device index, as CZusb_IO(int); starts
 *  nothing.
 *  @param index Device index, 0 to 3.
 *  @return A handle for any index 0 to 3, whether or not a box is there;
 *  NULL for any other index (or when memory is exhausted). */
ZPLR_C_API zplr_box *ZPLR_CALL zplr_open(int32_t index);
/** @brief Destroys the object as ~CZusb_IO() does: ends the box's session.
 *  @param h The handle, invalid afterwards; NULL does nothing.
 *  @blocks{As CZusb_IO::ExistUSB_IO().} */
ZPLR_C_API void ZPLR_CALL zplr_close(zplr_box *h);
/** @brief The device index of the handle (the field CZusb_IO::DeviceIndex).
 *  @param h The handle.
 *  @return 0 to 3; -4 for a null handle. */
ZPLR_C_API int32_t ZPLR_CALL zplr_device_index(zplr_box *h);
/** @brief CZusb_IO::InitialUSB_IOEx(): starts the box's session.
 *  @param h The handle.
 *  @param reserved Ignored.
 *  @return As the member: 1, always; zplr_if_connect_usb() tells whether the
 *  box was reached. */
ZPLR_C_API int32_t ZPLR_CALL zplr_initial_usb_io_ex(zplr_box *h, int32_t reserved);
/** @brief CZusb_IO::ExistUSB_IO(): ends the box's session; the handle stays
 *  valid.
 *  @param h The handle.
 *  @return 1, always. */
ZPLR_C_API int32_t ZPLR_CALL zplr_exist_usb_io(zplr_box *h);
/** @brief CZusb_IO::IfConnectUSB(): tells whether commands can reach the box.
 *  @param h The handle.
 *  @return 0 reachable; 1 not (also for a null handle). */
ZPLR_C_API int32_t ZPLR_CALL zplr_if_connect_usb(zplr_box *h);
/** @brief CZusb_IO::IfNotCompleteInitUSB(): waits until the first attempt
 *  to open the box has settled.
 *  @param h The handle. */
ZPLR_C_API void ZPLR_CALL zplr_if_not_complete_init_usb(zplr_box *h);
/** @} */

/** @name Raw commands and status
 *  @{ */

/** @brief CZusb_IO::Write_Data_to_USB(): hands one command packet to the
 *  box's writer.
 *  @param h The handle.
 *  @param packet 64 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_write_data_to_usb(zplr_box *h, uint8_t *packet);
/** @brief CZusb_IO::ProcZLStatus(): decodes a line-status record into the
 *  status word.
 *  @param h The handle.
 *  @param status 3 bytes. */
ZPLR_C_API void ZPLR_CALL zplr_proc_zl_status(zplr_box *h, uint8_t *status);
/** @brief CZusb_IO::GetTelStatus(): the whole status word.
 *  @param h The handle.
 *  @return The word; 0x200 for a null handle. */
ZPLR_C_API int32_t ZPLR_CALL zplr_get_tel_status(zplr_box *h);
/** @brief CZusb_IO::SetTelStatus(): replaces the status word.
 *  @param h The handle.
 *  @param value The new word. */
ZPLR_C_API void ZPLR_CALL zplr_set_tel_status(zplr_box *h, int32_t value);
/** @} */

/** @name Line
 *  @{ */

/** @brief CZusb_IO::PickUp(): takes the line off hook.
 *  @param h The handle.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_pick_up(zplr_box *h);
/** @brief CZusb_IO::PickUpEst(): takes the line off hook with a parameter.
 *  @param h The handle.
 *  @param param Its low byte goes to the box.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_pick_up_est(zplr_box *h, int32_t param);
/** @brief CZusb_IO::PutDown(): puts the line on hook.
 *  @param h The handle.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_put_down(zplr_box *h);
/** @brief CZusb_IO::PutDownEst(): puts the line on hook with a parameter.
 *  @param h The handle.
 *  @param param Its low byte goes to the box.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_put_down_est(zplr_box *h, int32_t param);
/** @brief CZusb_IO::SetEstimateStatus(): sends the box its estimate status.
 *  @param h The handle.
 *  @param status Its low byte goes to the box.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_set_estimate_status(zplr_box *h, int32_t status);
/** @brief CZusb_IO::SetNextCallDelay(): sets the delay before the next call.
 *  @param h The handle.
 *  @param delay Its low byte goes to the box.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_set_next_call_delay(zplr_box *h, int32_t delay);
/** @brief CZusb_IO::DetectRing(): asks the box to watch for ringing.
 *  @param h The handle.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_detect_ring(zplr_box *h);
/** @brief CZusb_IO::CheckCallStatus(): tells whether a call came in, and
 *  clears that sign.
 *  @param h The handle.
 *  @return 1 a call came in; 0 not. */
ZPLR_C_API int32_t ZPLR_CALL zplr_check_call_status(zplr_box *h);
/** @brief CZusb_IO::ClearCallBit(): clears the incoming-call and
 *  connection-change bits.
 *  @param h The handle. */
ZPLR_C_API void ZPLR_CALL zplr_clear_call_bit(zplr_box *h);
/** @brief CZusb_IO::GetCalledPickUpStatus(): tells whether the called party
 *  answered, and clears that sign.
 *  @param h The handle.
 *  @return 1 answered; 0 not yet; -1 not reachable. */
ZPLR_C_API int32_t ZPLR_CALL zplr_get_called_pick_up_status(zplr_box *h);
/** @brief CZusb_IO::CheckPutDown(): tells whether the line is off hook.
 *  @param h The handle.
 *  @return 1 off hook; 0 on hook. */
ZPLR_C_API int32_t ZPLR_CALL zplr_check_put_down(zplr_box *h);
/** @brief CZusb_IO::ReadPhoneStatus(): tells whether the telephone set on
 *  the box is off hook.
 *  @param h The handle.
 *  @return 1 off hook; 0 on hook. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_phone_status(zplr_box *h);
/** @brief CZusb_IO::LinePickUpMode(): how the line went off hook.
 *  @param h The handle.
 *  @return 0 on hook; 1 off hook in mode 1; 2 off hook otherwise. */
ZPLR_C_API int32_t ZPLR_CALL zplr_line_pick_up_mode(zplr_box *h);
/** @brief CZusb_IO::CheckCanNextCallIn(): tells whether the box lets the
 *  next call in.
 *  @param h The handle.
 *  @return 1 it does; 0 not. */
ZPLR_C_API int32_t ZPLR_CALL zplr_check_can_next_call_in(zplr_box *h);
/** @brief CZusb_IO::ReaddiFlagsValue(): reads the box's 32-bit flags word.
 *  @param h The handle.
 *  @return As the member: the word, or -1, -2, -3. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_flags(zplr_box *h);
/** @brief CZusb_IO::TelSleep(): sleeps on the calling thread.
 *  @param h The handle.
 *  @param ms Milliseconds. */
ZPLR_C_API void ZPLR_CALL zplr_tel_sleep(zplr_box *h, int32_t ms);
/** @} */

/** @name Dialling
 *  @{ */

/** @brief CZusb_IO::DialNmb(): dials a number.
 *  @param h The handle.
 *  @param number Zero-terminated; at most 41 characters are dialled.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_dial(zplr_box *h, const char *number);
/** @brief CZusb_IO::SetDialPara(): stores the three dialling parameters.
 *  @param h The handle.
 *  @param p1 First parameter.
 *  @param p2 Second parameter.
 *  @param p3 Third parameter.
 *  @return 1. */
ZPLR_C_API int32_t ZPLR_CALL zplr_set_dial_para(zplr_box *h, int32_t p1, int32_t p2, int32_t p3);
/** @brief CZusb_IO::SetDialParaToZL(): sends three dialling parameters to
 *  the box.
 *  @param h The handle.
 *  @param a Its low byte goes to the box.
 *  @param b Its low byte goes to the box.
 *  @param c Its low byte goes to the box.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_set_dial_para_to_zl(zplr_box *h, int32_t a, int32_t b,
                                                      int32_t c);
/** @} */

/** @name Caller ID and keys
 *  @{ */

/** @brief CZusb_IO::Read_Call_Nmb(): copies the last caller's number and
 *  acknowledges the call.
 *  @param h The handle.
 *  @param number 61 bytes; receives a zero-terminated number.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_call_nmb(zplr_box *h, uint8_t *number);
/** @brief CZusb_IO::ReadstrCallNmb(): the last caller's number as text.
 *  @param h The handle.
 *  @return The text (at most 60 characters), valid until the next call on
 *  this box; empty when there is none. Never NULL. */
ZPLR_C_API const char *ZPLR_CALL zplr_read_str_call_nmb(zplr_box *h);
/** @brief CZusb_IO::GetDTMFCode(): takes the oldest key pressed.
 *  @param h The handle.
 *  @param code 2 bytes: the key code (1 to 9, 10 for '0', 11 '*', 12 '#')
 *  and a zero byte.
 *  @return As the member: 1 taken; -4 no key waiting. */
ZPLR_C_API int32_t ZPLR_CALL zplr_get_dtmf_code(zplr_box *h, uint8_t *code);
/** @brief CZusb_IO::TestTool_GetDTMFCode(): takes up to three keys.
 *  @param h The handle.
 *  @param codes 4 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_get_dtmf_codes(zplr_box *h, uint8_t *codes);
/** @brief CZusb_IO::SetCheckDTMFCall(): switches the box's key check.
 *  @param h The handle.
 *  @param on 1 on; anything else off.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_set_check_dtmf_call(zplr_box *h, int32_t on);
/** @brief CZusb_IO::SetFSKParam(): sets two FSK parameters.
 *  @param h The handle.
 *  @param p1 Its low byte goes to the box.
 *  @param p2 Its low byte goes to the box.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_set_fsk_param(zplr_box *h, int32_t p1, int32_t p2);
/** @brief CZusb_IO::SetGetFSKOEData(): sets how the box delivers FSK data.
 *  @param h The handle.
 *  @param mode Its low byte goes to the box.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_set_get_fsk_oe_data(zplr_box *h, int32_t mode);
/** @brief CZusb_IO::GetOEData(): fetches one FSK data block.
 *  @param h The handle.
 *  @param select Which block.
 *  @param data 63 bytes.
 *  @return As the member: the block's count byte plus 1, or below 0. */
ZPLR_C_API int32_t ZPLR_CALL zplr_get_oe_data(zplr_box *h, uint8_t select, uint8_t *data);
/** @} */

/** @name Call-progress tones
 *  @{ */

/** @brief CZusb_IO::SetContinueReturn450Hz(): asks for 450 Hz measurements.
 *  @param h The handle.
 *  @param mode Its low byte goes to the box.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_set_continue_return_450hz(zplr_box *h, int32_t mode);
/** @brief CZusb_IO::Get450HzRecd(): takes the oldest measurement pair.
 *  @param h The handle.
 *  @param pair 2 words.
 *  @return As the member: 1 taken; -2 no pair waiting. */
ZPLR_C_API int32_t ZPLR_CALL zplr_get_450hz_recd(zplr_box *h, uint16_t *pair);
/** @brief CZusb_IO::ReadBusyBit(): tells whether a busy tone was seen, and
 *  clears that sign.
 *  @param h The handle.
 *  @return 1 busy; 0 not. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_busy_bit(zplr_box *h);
/** @brief CZusb_IO::ClearBusyCheckBit(): clears the busy-tone sign.
 *  @param h The handle. */
ZPLR_C_API void ZPLR_CALL zplr_clear_busy_check_bit(zplr_box *h);
/** @brief CZusb_IO::SetDetectSoundValue(): sets the sound-detection level.
 *  @param h The handle.
 *  @param level 1 to 112.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_set_detect_sound_value(zplr_box *h, int32_t level);
/** @} */

/** @name Audio path
 *  @{ */

/** @brief CZusb_IO::IfMicOut(): switches the microphone signal out.
 *  @param h The handle.
 *  @param on 1 on; anything else off.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_if_mic_out(zplr_box *h, int32_t on);
/** @brief CZusb_IO::IfMute(): mutes the box.
 *  @param h The handle.
 *  @param on 1 mute; anything else not.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_if_mute(zplr_box *h, int32_t on);
/** @brief CZusb_IO::GetLine_Mic(): chooses the line or the microphone.
 *  @param h The handle.
 *  @param line 1 or anything else.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_get_line_mic(zplr_box *h, int32_t line);
/** @brief CZusb_IO::SetAmp(): sets the box's amplifier.
 *  @param h The handle.
 *  @param value Its low byte goes to the box.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_set_amp(zplr_box *h, int32_t value);
/** @} */

/** @name Recording
 *  @{ */

/** @brief CZusb_IO::StartReadSound(): starts recording the line to a WAV
 *  file (8 kHz A-law mono, 48-byte header).
 *  @param h The handle.
 *  @param path At most 1023 characters; '*' and '#' are left out, and 1 to
 *  263 characters must remain.
 *  @param mode 0: the line must be off hook; 1 or more records on hook too.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_start_record(zplr_box *h, const char *path, int32_t mode);
/** @brief CZusb_IO::StopReadSound(): ends the recording and completes its
 *  file.
 *  @param h The handle.
 *  @return As the member: the file's size, or below 0. */
ZPLR_C_API int32_t ZPLR_CALL zplr_stop_record(zplr_box *h);
/** @brief CZusb_IO::SetRecordStatus(): switches the box's sound stream.
 *  @param h The handle.
 *  @param on Non-zero on.
 *  @param mode Its low byte goes to the box.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_set_record_status(zplr_box *h, int32_t on, int32_t mode);
/** @brief CZusb_IO::ReadRecLength(): bytes the current or last recording
 *  stored.
 *  @param h The handle.
 *  @return The count; 0xFFFFFFFD after a recording that broke; 0 for a
 *  null handle. */
ZPLR_C_API uint32_t ZPLR_CALL zplr_record_length(zplr_box *h);
/** @} */

/** @name Playback
 *  @{ */

/** @brief CZusb_IO::StartPlaySound(): plays a WAV file of the library's
 *  layout to the line.
 *  @param h The handle.
 *  @param path At most 1023 characters.
 *  @param start_permille Where to start, in thousandths.
 *  @param mode Play mode (1 or 2 on hook).
 *  @param option Its low byte goes to the box.
 *  @param flag Play flag.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_start_play(zplr_box *h, const char *path,
                                             int32_t start_permille, int32_t mode,
                                             int32_t option, int32_t flag);
/** @brief CZusb_IO::StopPlaySound(): stops the playback.
 *  @param h The handle.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_stop_play(zplr_box *h);
/** @brief CZusb_IO::SetPlayStatus(): sends the box its playback command.
 *  @param h The handle.
 *  @param start 1 start, 0 stop.
 *  @param mode Play mode.
 *  @param option Play option.
 *  @param flag Play flag.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_set_play_status(zplr_box *h, uint8_t start, uint8_t mode,
                                                  uint8_t option, uint8_t flag);
/** @brief CZusb_IO::CheckWavFileExist(): tells whether a file exists.
 *  @param h The handle.
 *  @param path The path; NULL gives 0.
 *  @return 1 it exists; 0 not. */
ZPLR_C_API int32_t ZPLR_CALL zplr_file_exists(zplr_box *h, const char *path);
/** @brief CZusb_IO::GetWriteSoundRate(): progress of the playback.
 *  @param h The handle.
 *  @return Thousandths played; 1000 once at the end; -1 after the line was
 *  released. */
ZPLR_C_API int32_t ZPLR_CALL zplr_play_rate(zplr_box *h);
/** @brief CZusb_IO::GetWriteSoundBytes(): bytes the playback has taken.
 *  @param h The handle.
 *  @return The count; 0 for a null handle. */
ZPLR_C_API uint64_t ZPLR_CALL zplr_play_bytes(zplr_box *h);
/** @brief CZusb_IO::SeekFilePointForTelInfo(): moves the running playback.
 *  @param h The handle.
 *  @param permille New position in thousandths. */
ZPLR_C_API void ZPLR_CALL zplr_play_seek(zplr_box *h, int32_t permille);
/** @} */

/** @name Sound to and from memory
 *  @{ */

/** @brief CZusb_IO::OpenReadSoundInPC(): starts recording the line into
 *  memory (256-byte frames).
 *  @param h The handle.
 *  @param mode Its low byte goes to the box.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_pc_record_open(zplr_box *h, int32_t mode);
/** @brief CZusb_IO::ReadSoundFromBufferToPC(): copies the next bytes of the
 *  stream, waiting for them.
 *  @param h The handle.
 *  @param buffer length + 1 bytes.
 *  @param length 512 or less, or a multiple of 512; the same every call.
 *  @return As the member: the bytes copied, or below 0. */
ZPLR_C_API int32_t ZPLR_CALL zplr_pc_record_read(zplr_box *h, uint8_t *buffer, int32_t length);
/** @brief CZusb_IO::CloseReadSoundInPC(): ends the recording into memory.
 *  @param h The handle.
 *  @return As the member: the bytes recorded, or below 0. */
ZPLR_C_API int32_t ZPLR_CALL zplr_pc_record_close(zplr_box *h);
/** @brief CZusb_IO::OpenWriteSoundToBuff(): starts playing from memory.
 *  @param h The handle.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_pc_play_open(zplr_box *h);
/** @brief CZusb_IO::WriteSoundFromPCToBuffer(): sends sound to the line.
 *  @param h The handle.
 *  @param buffer length bytes of 8 kHz A-law; whole 256-byte blocks go out.
 *  @param length Byte count.
 *  @return As the member: 512 sent, or below 0. */
ZPLR_C_API int32_t ZPLR_CALL zplr_pc_play_write(zplr_box *h, const uint8_t *buffer,
                                                int32_t length);
/** @brief CZusb_IO::CloseWriteSoundToBuff(): ends playing from memory.
 *  @param h The handle.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_pc_play_close(zplr_box *h);
/** @} */

/** @name Device records
 *  @{ */

/** @brief CZusb_IO::ReadCustomerID(): the customer ID record, deciphered.
 *  @param h The handle.
 *  @param out 17 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_customer_id(zplr_box *h, uint8_t *out);
/** @brief CZusb_IO::ReadstrCustomerID(): the customer ID record as text.
 *  @param h The handle.
 *  @return The text (at most 16 characters), valid until the next call on
 *  this box; empty on failure. Never NULL. */
ZPLR_C_API const char *ZPLR_CALL zplr_read_str_customer_id(zplr_box *h);
/** @brief CZusb_IO::ModifyCustomerID(): replaces the ID part of the
 *  customer ID record.
 *  @param h The handle.
 *  @param id Zero-terminated; at most 9 characters are stored.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_modify_customer_id(zplr_box *h, const char *id);
/** @brief CZusb_IO::ReadModuleNmb(): the module number, under the
 *  zplr_set_key() key.
 *  @param h The handle.
 *  @param out 17 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_module_nmb(zplr_box *h, uint8_t *out);
/** @brief CZusb_IO::ReadManuSerial(): the manufacturing serial, under the
 *  zplr_set_key() key.
 *  @param h The handle.
 *  @param out 17 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_manu_serial(zplr_box *h, uint8_t *out);
/** @brief CZusb_IO::ReadAdaptChar(): the adapter characteristics, under the
 *  zplr_set_key() key.
 *  @param h The handle.
 *  @param out 17 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_adapt_char(zplr_box *h, uint8_t *out);
/** @brief CZusb_IO::SetKey(): the key of the three records above.
 *  @param h The handle.
 *  @param key 16 bytes. */
ZPLR_C_API void ZPLR_CALL zplr_set_key(zplr_box *h, const uint8_t *key);
/** @brief CZusb_IO::ReadZL_Type(): the box type.
 *  @param h The handle.
 *  @param out 2 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_zl_type(zplr_box *h, uint8_t *out);
/** @brief CZusb_IO::ReadWritingInfoCounter(): the box's write counter.
 *  @param h The handle.
 *  @param out 2 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_writing_info_counter(zplr_box *h, uint8_t *out);
/** @brief CZusb_IO::ReadHSPInfo(): the HSP information.
 *  @param h The handle.
 *  @param out 12 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_hsp_info(zplr_box *h, uint8_t *out);
/** @brief CZusb_IO::ReadSP_Sum(): the sum record.
 *  @param h The handle.
 *  @param out 6 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_sp_sum(zplr_box *h, uint8_t *out);
/** @brief CZusb_IO::ReadSTMDeviceID(): the box processor's identifier.
 *  @param h The handle.
 *  @param out 17 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_stm_device_id(zplr_box *h, uint8_t *out);
/** @brief CZusb_IO::ReadSTM32Temp(): the box processor's temperature value.
 *  @param h The handle.
 *  @return As the member: 0 to 255, or below 0. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_stm32_temp(zplr_box *h);
/** @brief CZusb_IO::ModKVer(): sends the box a key version byte.
 *  @param h The handle.
 *  @param value Sent as is.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_mod_k_ver(zplr_box *h, uint8_t value);
/** @brief CZusb_IO::SetZLDeviceNmb(): writes the device-number record.
 *  @param h The handle.
 *  @param record 18 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_set_zl_device_nmb(zplr_box *h, const uint8_t *record);
/** @brief CZusb_IO::ReadzPLRVersion(): the library's version text.
 *  @param h The handle.
 *  @param out 23 bytes; NULL is ignored. A null handle gives an empty
 *  text. */
ZPLR_C_API void ZPLR_CALL zplr_read_version(zplr_box *h, char *out);
/** @} */

/** @name Maintenance
 *  @{ */

/** @brief CZusb_IO::WriteDataToFlash(): writes the 240-byte flash area.
 *  @param h The handle.
 *  @param data 240 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_write_data_to_flash(zplr_box *h, const uint8_t *data);
/** @brief CZusb_IO::FS_Open(): opens the box's flash access.
 *  @param h The handle.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_fs_open(zplr_box *h);
/** @brief CZusb_IO::FS_Close(): closes the box's flash access.
 *  @param h The handle.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_fs_close(zplr_box *h);
/** @brief CZusb_IO::Read_ADC01_Modified(): reads converter channel 0/1.
 *  @param h The handle.
 *  @param out 2 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_adc01_modified(zplr_box *h, uint8_t *out);
/** @brief CZusb_IO::ReadADCModValue(): the three converter correction
 *  values.
 *  @param h The handle.
 *  @param out 4 words.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_read_adc_mod_value(zplr_box *h, uint16_t *out);
/** @brief CZusb_IO::Test_End0_WR(): sends a test packet and reads the echo.
 *  @param h The handle.
 *  @param code Command code of the test packet.
 *  @param buf 64 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_test_end0_wr(zplr_box *h, uint8_t code, uint8_t *buf);
/** @brief CZusb_IO::Test_U2(): test command U2.
 *  @param h The handle.
 *  @param value Sent as is.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_test_u2(zplr_box *h, uint8_t value);
/** @brief CZusb_IO::Test_Status(): test command status.
 *  @param h The handle.
 *  @param value Sent as is.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_test_status(zplr_box *h, uint8_t value);
/** @brief CZusb_IO::Test_CtrlOut(): test command control outputs.
 *  @param h The handle.
 *  @param a Its low byte goes to the box.
 *  @param b Its low byte goes to the box.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_test_ctrl_out(zplr_box *h, int32_t a, int32_t b);
/** @brief CZusb_IO::Test_Flash(): test command flash.
 *  @param h The handle.
 *  @param a Its low byte goes to the box.
 *  @param values 5 values; their low bytes go to the box.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_test_flash(zplr_box *h, int32_t a, const int32_t *values);
/** @brief CZusb_IO::GetYear(): the PC's local year.
 *  @param h The handle.
 *  @param out 5 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_get_year(zplr_box *h, char *out);
/** @brief CZusb_IO::GetMoth(): the PC's local month.
 *  @param h The handle.
 *  @param out 3 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_get_month(zplr_box *h, char *out);
/** @brief CZusb_IO::GetDay(): the PC's local day of the month.
 *  @param h The handle.
 *  @param out 3 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_get_day(zplr_box *h, char *out);
/** @brief CZusb_IO::GetHour(): the PC's local hour.
 *  @param h The handle.
 *  @param out 3 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_get_hour(zplr_box *h, char *out);
/** @brief CZusb_IO::GetMin(): the PC's local minute.
 *  @param h The handle.
 *  @param out 3 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_get_minute(zplr_box *h, char *out);
/** @brief CZusb_IO::GetSec(): the PC's local second.
 *  @param h The handle.
 *  @param out 3 bytes.
 *  @return As the member. */
ZPLR_C_API int32_t ZPLR_CALL zplr_get_second(zplr_box *h, char *out);
/** @} */

#ifdef __cplusplus
}
#endif

#endif
