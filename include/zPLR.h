/* zPLR: host library of the ZL telephone-line box.
 *
 * One CZusb_IO object per box, chosen by its device index 0 to 3. Two objects
 * of one index drive the same box; destroying either ends that box's session.
 * Calls on one box come from one application thread at a time.
 * Plain C++11.
 */
/** @file zPLR.h
 *  @brief The class CZusb_IO, which drives one ZL box.
 */
#ifndef ZPLR_H
#define ZPLR_H

#include "zPLR_host.h"

/** @brief Namespace of the framework stand-in. */
namespace zplr {
#if defined(_MSC_VER)
/* Visual C++ sees the root class with all five of its virtual operations, in
 * the framework's order, so that its virtual table matches the DLL's. */
struct CRuntimeClass;
class CArchive;
class CDumpContext;

class ZPLR_API CObject {
public:
    virtual CRuntimeClass *GetRuntimeClass() const;
    virtual ~CObject();
    virtual void Serialize(CArchive &ar);
    virtual void AssertValid() const;
    virtual void Dump(CDumpContext &dc) const;

private:
    CObject(const CObject &);
    CObject &operator=(const CObject &);
};
#else
/** @brief Stands in for the application framework's root class. */
class ZPLR_API CObject {
public:
    /** @brief Virtual, so that a CZusb_IO may be deleted through a CObject pointer. */
    virtual ~CObject();
};
#endif
}

/** @brief One ZL box: its session, its line, its sound and its records.
 *
 * The object carries a device index (0 to 3); every member acts on the box of
 * that index. Results follow one scheme (@ref results): 1 success, -1 the box
 * is not reachable, -2 the session is not running, -3 no reply in time, -4 a
 * bad argument or a failed precondition. Calls on one box come from one
 * application thread at a time; different boxes are independent. A command
 * waits for the box's reply; its longest block is given with each member and
 * explained in @ref waits.
 */
class ZPLR_API CZusb_IO : public zplr::CObject {
public:
    /** @name Session
     *  Start and end a box's session; see @ref grp_session.
     *  @{ */

    /** @brief An object for device index 0. Starts nothing. */
    CZusb_IO();
    /** @brief An object for a device index. Starts nothing.
     *  @param deviceIndex The box, 0 to 3. */
    explicit CZusb_IO(int deviceIndex);
    /** @brief Ends the box's session as ExistUSB_IO() does.
     *  @blocks{As ExistUSB_IO().} */
    virtual ~CZusb_IO();

    /** @brief Starts the box's session; the same as InitialUSB_IOEx(0).
     *  @return 1, always. */
    int InitialUSB_IO();
    /** @brief Starts the box's session: resets its state and starts its five
     *  service threads, which open the box's four pipes and go on trying
     *  while the box is absent.
     *  @param reserved Ignored.
     *  @return 1, always; IfConnectUSB() tells whether the box was reached.
     *  @blocks{Up to 13 polls of 35 ms (0.46 s) for the pipes to open, then
     *  until the report and command threads run.} */
    int InitialUSB_IOEx(int reserved);
    /** @brief Ends the box's session: stops its threads (a recording is
     *  completed first) and marks the box not reachable.
     *  @return 1, always.
     *  @blocks{About 30 s at worst: the shut-down command (10.1 s, plus
     *  10.1 s for an earlier reply) and up to 1.01 s for the alarm thread and
     *  2.02 s for each of the other four threads to end.} */
    int ExistUSB_IO();
    /** @brief Tells whether commands can reach the box.
     *  @return 0 all four pipes are open; 1 the box is not reachable (not
     *  started, ended, unplugged, or a write failed).
     *  @nowait */
    int IfConnectUSB();
    /** @brief Waits until the report thread's first attempt to open the box
     *  has settled (opened, or failed twice).
     *  @pre InitialUSB_IOEx() was called.
     *  @blocks{No limit while the session runs (the box may never be
     *  found); at once when the session is not running.} */
    void IfNotCompleteInitUSB();
    /** @brief Allocates an object on the library's own heap, whichever
     *  compiler built the caller; `delete` frees it there.
     *  @param size Bytes.
     *  @return The memory; null when there is none (no exception). */
    static void *operator new(size_t size) noexcept;
    /** @brief Frees an object allocated by operator new().
     *  @param p The object's memory; null is ignored. */
    static void operator delete(void *p) noexcept;
    /** @brief Allocates an array of objects on the library's own heap.
     *  @param size Bytes.
     *  @return The memory; null when there is none (no exception). */
    static void *operator new[](size_t size) noexcept;
    /** @brief Frees an array allocated by operator new[]().
     *  @param p The array's memory; null is ignored. */
    static void operator delete[](void *p) noexcept;
    /** @brief Constructs in memory the caller provides.
     *  @param size Bytes.
     *  @param where The memory.
     *  @return where. */
    static void *operator new(size_t size, void *where) noexcept;
    /** @brief Pairs with the placement operator new(); frees nothing.
     *  @param p The object.
     *  @param where The memory. */
    static void operator delete(void *p, void *where) noexcept;
    /** @} */

    /** @name Raw commands and status
     *  @{ */

    /** @brief Hands one 64-byte command packet to the box's writer; does not
     *  wait for its reply.
     *  @param packet 64 bytes: byte 0 the command code, the arguments behind.
     *  @return 1 handed over; -2 the session is not running; -3 the previous
     *  reply is still awaited, or a running recording did not pause in time.
     *  @blocks{Up to 10.1 s for an earlier reply, plus up to 10.1 s for a
     *  recording's pause. Does not test whether the box is reachable.} */
    int Write_Data_to_USB(unsigned char *packet);

    /** @brief Decodes a line-status record into the status word, as the
     *  library does for the box's status reports.
     *  @param status 3 bytes: type, state or flags, mode.
     *  @nowait */
    void ProcZLStatus(unsigned char *status);

    /** @brief The whole status word (bits in @ref status).
     *  @return The word; 0x200 alone before the first start.
     *  @nowait */
    int GetTelStatus();
    /** @} */

    /** @name Line
     *  Hook, ringing and call state; see @ref grp_line.
     *  @{ */

    /** @brief Takes the line off hook.
     *  @cmdcodes Also 1 at once, without sending, when the line is already off
     *  hook; a failed pick-up still counts the line as off hook.
     *  @cmd{3.1} */
    int PickUp();
    /** @brief Takes the line off hook with a pick-up parameter for the box.
     *  @param param Its low byte goes to the box.
     *  @cmdcodes Also 1 at once when the line is already off hook.
     *  @cmd{3.1} */
    int PickUpEst(int param);
    /** @brief Puts the line on hook.
     *  @cmdcodes Also 1 at once, without sending, when the line is on hook.
     *  @cmd{3.1} */
    int PutDown();
    /** @brief Puts the line on hook with a parameter for the box; also counts
     *  the telephone set as on hook.
     *  @param param Its low byte goes to the box.
     *  @cmdcodes Also 1 at once when the line is on hook.
     *  @cmd{3.1} */
    int PutDownEst(int param);
    /** @brief Sends the box its estimate status.
     *  @param status Its low byte goes to the box.
     *  @cmdcodes
     *  @cmd{3.1} */
    int SetEstimateStatus(int status);
    /** @brief Sets the box's delay before the next call may come in.
     *  @param delay Its low byte goes to the box.
     *  @cmdcodes
     *  @cmd{10.1} */
    int SetNextCallDelay(int delay);
    /** @brief Asks the box to watch for ringing; a ring then shows through
     *  CheckCallStatus().
     *  @cmdcodes
     *  @cmd{10.1} */
    int DetectRing();
    /** @brief Tells whether a call came in, and clears that sign.
     *  @return 1 a call came in since the last check; 0 not.
     *  @nowait */
    int CheckCallStatus();
    /** @brief Clears the incoming-call and connection-change bits (0x1, 0x8000).
     *  @nowait */
    void ClearCallBit();
    /** @brief Tells whether the called party answered, and clears that sign.
     *  @return 1 answered; 0 not yet; -1 the box is not reachable.
     *  @nowait */
    int GetCalledPickUpStatus();
    /** @brief Tells whether the line is off hook.
     *  @return 1 off hook; 0 on hook.
     *  @nowait */
    int CheckPutDown();
    /** @brief Tells whether the telephone set on the box is off hook.
     *  @return 1 off hook; 0 on hook.
     *  @nowait */
    int ReadPhoneStatus();
    /** @brief The same as ReadPhoneStatus().
     *  @return 1 off hook; 0 on hook.
     *  @nowait */
    int CheckPhone_PutDown();
    /** @brief The same as ReadPhoneStatus().
     *  @return 1 off hook; 0 on hook.
     *  @nowait */
    int CheckPutDownInEstimate();
    /** @brief How the line went off hook.
     *  @return 0 on hook; 1 off hook in mode 1; 2 off hook otherwise.
     *  @nowait */
    int LinePickUpMode();
    /** @brief Tells whether the box lets the next call in (bit 26 of its flags
     *  word clear).
     *  @return 1 it does; 0 it does not, or the flags word could not be read.
     *  @cmd{10.1} */
    int CheckCanNextCallIn();
    /** @brief Reads the box's 32-bit flags word; during a playback it answers
     *  from the last report without asking.
     *  @return The flags word; -1 the box is not reachable; -2 the session is
     *  not running; -3 no reply in time.
     *  @cmd{10.1} */
    int ReaddiFlagsValue();
    /** @brief Replaces the status word; the reachability bit 0x200 keeps its
     *  state.
     *  @param value The new word.
     *  @nowait */
    void SetTelStatus(int value);
    /** @brief Sleeps on the calling thread; touches no box.
     *  @param ms Milliseconds; 0 or less does not sleep.
     *  @blocks{ms milliseconds.} */
    void TelSleep(int ms);
    /** @} */

    /** @name Dialling
     *  See @ref grp_dial.
     *  @{ */

    /** @brief Dials a number.
     *  @param number Zero-terminated: digits, '*', '#'; at most 41 characters
     *  are dialled.
     *  @pre The line is off hook (PickUp()).
     *  @return 1 the box took the number; -1 the box is not reachable; -2 the
     *  number is empty, or the session is not running; -3 no reply in time;
     *  -4 the line is on hook.
     *  @cmd{20.1} */
    int DialNmb(char *number);
    /** @brief Dials the first 40 characters of a number.
     *  @param number Zero-terminated.
     *  @pre The line is off hook.
     *  @return As DialNmb(); an empty number gives -2 before anything else.
     *  @cmd{20.1} */
    int DialNmbCStr(char *number);
    /** @brief Stores the three dialling parameters for the next dial; sends
     *  nothing.
     *  @param p1 First parameter (default 5).
     *  @param p2 Second parameter (default 5).
     *  @param p3 Third parameter (default 6).
     *  @return 1, always.
     *  @nowait */
    int SetDialPara(int p1, int p2, int p3);
    /** @brief Sends three dialling parameters to the box itself.
     *  @param a Its low byte goes to the box.
     *  @param b Its low byte goes to the box.
     *  @param c Its low byte goes to the box.
     *  @cmdcodes
     *  @cmd{10.1} */
    int SetDialParaToZL(int a, int b, int c);
    /** @} */

    /** @name Caller ID and keys
     *  See @ref grp_callerid.
     *  @{ */

    /** @brief Copies the last caller's number and acknowledges the incoming
     *  call (clears bit 0x1).
     *  @param number Room for 61 bytes; receives a zero-terminated number,
     *  empty when none came. A new ring empties it until that call's
     *  caller-ID message arrives, usually between the first two rings.
     *  @return 1 (also with an empty number); -1 the box is not reachable
     *  (number untouched); -2 the box failed to receive the caller ID;
     *  -4 number is null.
     *  @nowait */
    int Read_Call_Nmb(unsigned char *number);
    /** @brief The last caller's number as text, through Read_Call_Nmb().
     *  @return The text, valid until the next call on this box; empty when
     *  there is no number.
     *  @nowait */
    char *ReadstrCallNmb();
    /** @brief Takes the oldest key pressed on the line.
     *  @param code 2 bytes: the key code and a zero byte.
     *  @return 1 a key was taken; -1 the box is not reachable; -4 no key
     *  waiting, or code is null.
     *  @nowait */
    int GetDTMFCode(unsigned char *code);
    /** @brief Takes up to three keys at once.
     *  @param codes 4 bytes: up to three key codes (positions without a key
     *  stay as they were) and a zero byte.
     *  @return 1 at least one key was taken; -1 the box is not reachable;
     *  -4 no key waiting, or codes is null.
     *  @nowait */
    int TestTool_GetDTMFCode(unsigned char *codes);
    /** @brief Switches the box's key check on incoming calls.
     *  @param on 1 on; anything else off.
     *  @cmdcodes
     *  @cmd{10.1} */
    int SetCheckDTMFCall(int on);
    /** @brief Sets two FSK (caller ID) parameters of the box.
     *  @param p1 Its low byte goes to the box.
     *  @param p2 Its low byte goes to the box.
     *  @cmdcodes
     *  @cmd{3.1} */
    int SetFSKParam(int p1, int p2);
    /** @brief Sets how the box delivers FSK data.
     *  @param mode Its low byte goes to the box.
     *  @cmdcodes
     *  @cmd{3.1} */
    int SetGetFSKOEData(int mode);
    /** @brief Fetches one FSK data block from the box.
     *  @param select Which block.
     *  @param data 63 bytes: 62 data bytes and a zero byte; untouched on
     *  failure.
     *  @return The block's count byte plus 1 (1 to 256); -1, -2, -3 as for
     *  every command (@ref results); -4 data is null.
     *  @cmd{3.1} */
    int GetOEData(unsigned char select, unsigned char *data);
    /** @} */

    /** @name Call-progress tones
     *  450 Hz measurements and busy detection; see @ref grp_tones.
     *  @{ */

    /** @brief Empties the measurement queue, clears the answered sign and
     *  asks the box to keep reporting 450 Hz measurements.
     *  @param mode Its low byte goes to the box.
     *  @cmdcodes
     *  @cmd{10.1} */
    int SetContinueReturn450Hz(int mode);
    /** @brief Takes the oldest measurement pair.
     *  @param pair 2 words: the pair's two values.
     *  @return 1 taken; -1 the box is not reachable; -2 no pair waiting;
     *  -4 pair is null.
     *  @nowait */
    int Get450HzRecd(unsigned short *pair);
    /** @brief Tells whether a busy tone was detected, and clears that sign.
     *  @return 1 busy tone seen; 0 not.
     *  @nowait */
    int ReadBusyBit();
    /** @brief Clears the busy-tone sign (bit 0x20000).
     *  @nowait */
    void ClearBusyCheckBit();
    /** @brief Sets the box's sound-detection level.
     *  @param level 1 to 112; 0 is sent as 1, above 112 as 112.
     *  @cmdcodes
     *  @cmd{3.1} */
    int SetDetectSoundValue(int level);
    /** @} */

    /** @name Audio path
     *  See @ref grp_audio.
     *  @{ */

    /** @brief Switches the microphone signal out.
     *  @param on 1 on; anything else off.
     *  @cmdcodes
     *  @cmd{10.1} */
    int IfMicOut(int on);
    /** @brief Mutes the box.
     *  @param on 1 mute; anything else not.
     *  @cmdcodes
     *  @cmd{10.1} */
    int IfMute(int on);
    /** @brief Chooses the line or the microphone as the source.
     *  @param line 1 or anything else; the box gives the meaning.
     *  @cmdcodes
     *  @cmd{10.1} */
    int GetLine_Mic(int line);
    /** @brief Sets the box's amplifier.
     *  @param value Its low byte goes to the box.
     *  @cmdcodes
     *  @cmd{3.1} */
    int SetAmp(int value);
    /** @} */

    /** @name Recording
     *  From the line to an 8 kHz A-law mono WAV file; see @ref grp_record.
     *  @{ */

    /** @brief Starts recording the line to a WAV file, which it creates at
     *  once (48-byte header, 8000 Hz, 8-bit A-law, mono). While it records
     *  the header carries the placeholder sizes 16376 and 2016; the stop,
     *  exit() and a return from main complete it.
     *  @param fileName Path of a regular file or of one to create, at most
     *  1023 characters; '*' and '#' are left out, and 1 to 263 characters
     *  must remain.
     *  @param recordMode Low byte goes to the box; 1 or more records with the
     *  line on hook too.
     *  @pre The line is off hook when recordMode is below 1.
     *  @return 1 started; -1 the box is not reachable; -2 the session is not
     *  running; -4 a bad path, a file that cannot be created, a path that is
     *  not a regular file (a directory, FIFO, device or socket, which is
     *  left untouched), the line on hook, or a recording of this box already
     *  running.
     *  @cmd{3.1} */
    int StartReadSound(const char *fileName, int recordMode);
    /** @brief Starts recording the line to a WAV file, as
     *  StartReadSound(fileName, 0).
     *  @param fileName As for StartReadSound().
     *  @pre The line is off hook.
     *  @return As StartReadSound().
     *  @cmd{3.1} */
    int StartReadSoundCStrF(const char *fileName);
    /** @brief Ends the recording, completes its file and tells the box.
     *  @return The file's size in bytes; -1 the box is not reachable or could
     *  not be told; -2 the session is not running; -3 the recording broke
     *  (pipe failure, box pulled) or did not end in time; the file then holds
     *  what was read, and a message is shown.
     *  @blocks{12.1 s for the recording to end, 1.1 s more when the box's
     *  stream stalled, 10.2 s to stop a playback that runs, then the
     *  switch-off command (3.1 s plus the hand-over waits, @ref waits). The
     *  first two are skipped after a break.} */
    int StopReadSound();
    /** @brief Switches the box's sound stream on or off; the recording
     *  members call it themselves.
     *  @param on true on.
     *  @param mode Its low byte goes to the box.
     *  @cmdcodes
     *  @cmd{3.1} */
    int SetRecordStatus(bool on, int mode);
    /** @brief Bytes the current or last recording has stored (a file's
     *  count includes its 48-byte header).
     *  @return The count; 0 before the first recording; 0xFFFFFFFD (-3)
     *  after a recording that broke.
     *  @nowait */
    unsigned int ReadRecLength();

    /** @} */

    /** @name Playback
     *  From a WAV file or from memory to the line; see @ref grp_play.
     *  @{ */

    /** @brief Plays a WAV file to the line; a running playback is stopped
     *  first.
     *  @param fileName Path of a file of the library's layout (48-byte header,
     *  8000 Hz, 8-bit A-law, mono), at most 1023 characters.
     *  @param startPermille Where to start, in thousandths of the sound
     *  (0 to 999); past the end plays nothing.
     *  @param playMode 1 or 2 play with the line on hook; other modes need it
     *  off hook, except with 0x2C6B19F0 in the bits above bit 3 (the mode is
     *  then the low 4 bits).
     *  @param playOption Its low byte goes to the box.
     *  @param playFlag 1 or anything else; the box gives the meaning.
     *  @pre The line is off hook unless the mode says otherwise.
     *  @return 1 started; -1 the box is not reachable; -2 the session is not
     *  running; -3 a running recording did not give way within 3.1 s;
     *  -4 the mode needs the line off hook, or no readable regular file at
     *  the path (nothing sent).
     *  @blocks{Up to 10.2 s to stop a running playback, 3.1 s for a recording
     *  to give way, then the start command (10.1 s plus the hand-over
     *  waits).} */
    int StartPlaySound(const char *fileName, int startPermille, int playMode, int playOption,
                       int playFlag);
    /** @brief The same as StartPlaySound().
     *  @param fileName As for StartPlaySound().
     *  @param startPermille As for StartPlaySound().
     *  @param playMode As for StartPlaySound().
     *  @param playOption As for StartPlaySound().
     *  @param playFlag As for StartPlaySound().
     *  @return As StartPlaySound().
     *  @blocks{As StartPlaySound().} */
    int StartPlaySoundCStr(char *fileName, int startPermille, int playMode, int playOption,
                           int playFlag);
    /** @brief Stops the playback; also needed after a file has played out, to
     *  let a recording read again.
     *  @return 1 stopped, or nothing played; -1 the box is not reachable;
     *  -2 the session is not running; -3 the playback did not end in time.
     *  @blocks{10.2 s.} */
    int StopPlaySound();
    /** @brief Sends the box its playback command; the playback members call
     *  it themselves.
     *  @param start 1 start, 0 stop.
     *  @param mode Play mode.
     *  @param option Play option.
     *  @param flag Play flag.
     *  @cmdcodes
     *  @cmd{10.1} */
    int SetPlayStatus(unsigned char start, unsigned char mode, unsigned char option,
                      unsigned char flag);
    /** @brief Tells whether a file exists.
     *  @param fileName Path; null gives 0.
     *  @return 1 it exists; 0 not.
     *  @nowait */
    int CheckWavFileExist(char *fileName);
    /** @brief Progress of the playback.
     *  @return Thousandths played (0 before the file is open); 1000 once
     *  after the box reported the end; -1 after the line was released.
     *  @nowait */
    int GetWriteSoundRate();
    /** @brief Bytes of sound the playback has taken from its file.
     *  @return The count.
     *  @nowait */
    unsigned long long GetWriteSoundBytes();
    /** @brief Moves the running playback.
     *  @param permille New position in thousandths of the sound.
     *  @nowait */
    void SeekFilePointForTelInfo(int permille);

    /** @} */

    /** @name PC buffers
     *  Sound between the line and the application's memory instead of a
     *  file; see @ref grp_pcbuf.
     *  @{ */

    /** @brief Starts recording the line into the application's memory: the
     *  box's raw stream of 256-byte frames.
     *  @param recordMode Its low byte goes to the box.
     *  @return 1 started; -1 the box is not reachable; -2 the session is not
     *  running; -4 a recording of this box already runs.
     *  @cmd{3.1} */
    int OpenReadSoundInPC(int recordMode);
    /** @brief Copies the next bytes of the stream, waiting for them.
     *  @param buffer Room for length + 1 bytes.
     *  @param length Bytes wanted: 512 or less, or a multiple of 512; the
     *  same on every call.
     *  @pre OpenReadSoundInPC() returned 1.
     *  @return The bytes copied: length, or less when the recording ends,
     *  breaks or the box goes away, or while a playback holds the recording
     *  (until StopPlaySound()); 0 for length 0 or less; -1 the box is not
     *  reachable; -2 the session is not running; -4 buffer is null, or no
     *  recording into memory is open (none was, a file recording runs, or it
     *  was closed).
     *  @blocks{Until the box has sent length bytes (real time: 64 ms per
     *  512 bytes) or the recording ends; 64 ms at most while a
     *  playback holds it.} */
    int ReadSoundFromBufferToPC(unsigned char *buffer, int length);
    /** @brief Ends the recording into memory and tells the box.
     *  @return The bytes recorded; -1 the box is not reachable or could not be
     *  told; -2 the session is not running; -3 the recording did not end in
     *  time.
     *  @blocks{6.1 s for the recording to end, 1.1 s more when the stream
     *  stalled, 10.2 s to stop a playback that runs, then the switch-off
     *  command (3.1 s plus the hand-over waits).} */
    int CloseReadSoundInPC();

    /** @brief Starts playing sound from the application's memory; sends
     *  nothing yet.
     *  @return 1 started (or already open); -1 the box is not reachable;
     *  -2 the session is not running; -3 a running playback did not end in
     *  time.
     *  @blocks{10.2 s to stop a running playback.} */
    int OpenWriteSoundToBuff();
    /** @brief Sends sound to the line, 512 bytes at a time as the box asks.
     *  @param buffer length bytes of 8 kHz A-law sound; only whole 256-byte
     *  blocks go out.
     *  @param length Byte count.
     *  @pre OpenWriteSoundToBuff() returned 1.
     *  @return 512 all its sound is in the pipe (also for length 0 or less);
     *  -1 the box is not reachable; -2 the session is not running; -3 a chunk
     *  was not taken in time; -4 buffer is null.
     *  @blocks{The real time of its sound: each 512-byte chunk waits up to
     *  0.2 s for the previous one to be taken and 0.2 s to be taken itself.} */
    int WriteSoundFromPCToBuffer(unsigned char *buffer, int length);
    /** @brief Ends playing from memory; the box is told to stop.
     *  @return 1; -1 the box is not reachable; -2 the session is not running;
     *  -3 the playback did not end in time.
     *  @blocks{10.2 s.} */
    int CloseWriteSoundToBuff();
    /** @} */

    /** @name Device records
     *  Identity records of the box; see @ref grp_records.
     *  @{ */

    /** @brief Reads the customer ID record, deciphered.
     *  @param out 17 bytes: the 16-byte record and a zero byte.
     *  @cmdcodes -4 out is null.
     *  @cmd{3.1} */
    int ReadCustomerID(unsigned char *out);
    /** @brief Reads the module number, enciphered under the SetKey() key.
     *  @param out 17 bytes: the 16-byte record and a zero byte.
     *  @cmdcodes -4 out is null.
     *  @cmd{3.1} */
    int ReadModuleNmb(unsigned char *out);
    /** @brief Reads the manufacturing serial, enciphered under the SetKey()
     *  key.
     *  @param out 17 bytes: the 16-byte record and a zero byte.
     *  @cmdcodes -4 out is null.
     *  @cmd{3.1} */
    int ReadManuSerial(unsigned char *out);
    /** @brief Reads the adapter characteristics, enciphered under the
     *  SetKey() key.
     *  @param out 17 bytes: the 16-byte record and a zero byte.
     *  @cmdcodes -4 out is null.
     *  @cmd{3.1} */
    int ReadAdaptChar(unsigned char *out);
    /** @brief Reads the box type.
     *  @param out 2 bytes: the type and a zero byte.
     *  @cmdcodes -4 out is null.
     *  @cmd{3.1} */
    int ReadZL_Type(unsigned char *out);
    /** @brief Reads the box's write counter.
     *  @param out 2 bytes: the counter and a zero byte.
     *  @cmdcodes -4 out is null.
     *  @cmd{3.1} */
    int ReadWritingInfoCounter(unsigned char *out);
    /** @brief Reads the HSP information.
     *  @param out 12 bytes: 11 bytes and a zero byte.
     *  @cmdcodes -4 out is null.
     *  @cmd{3.1} */
    int ReadHSPInfo(unsigned char *out);
    /** @brief Reads the sum record.
     *  @param out 6 bytes: 5 bytes and a zero byte.
     *  @cmdcodes -4 out is null.
     *  @cmd{3.1} */
    int ReadSP_Sum(unsigned char *out);
    /** @brief Reads the box processor's 16-byte identifier.
     *  @param out 17 bytes: the identifier and a zero byte.
     *  @cmdcodes -4 out is null.
     *  @cmd{3.1} */
    int ReadSTMDeviceID(unsigned char *out);
    /** @brief Reads the box processor's temperature value.
     *  @return The value, 0 to 255; -1, -2, -3 as for every command.
     *  @cmd{3.1} */
    int ReadSTM32Temp();
    /** @brief Sends the box a key version byte.
     *  @param value Sent as is.
     *  @cmdcodes
     *  @cmd{3.1} */
    int ModKVer(unsigned char value);
    /** @brief Writes the box's device-number record.
     *  @param record 18 bytes, sent as is.
     *  @return The box's result byte (0 to 255); -1, -2, -3 as for every
     *  command; -4 record is null.
     *  @cmd{3.1} */
    int SetZLDeviceNmb(unsigned char *record);
    /** @brief Replaces the ID part of the customer ID record; the record's
     *  7-byte head is kept as the box has it.
     *  @param id Zero-terminated; at most 9 characters are stored.
     *  @return The box's verdict: 1 stored, -1 or -2 refused, 0 no verdict;
     *  or -1, -2, -3 of either of its two commands; -4 id is null.
     *  @blocks{Two commands: 2 × 3.1 s, plus the hand-over waits of each
     *  (@ref waits).} */
    int ModifyCustomerID(unsigned char *id);
    /** @brief The customer ID record as text, through ReadCustomerID().
     *  @return The text, valid until the next call on this box; empty on
     *  failure.
     *  @cmd{3.1} */
    char *ReadstrCustomerID();
    /** @brief Copies the library's version text.
     *  @param out 23 bytes; null is ignored.
     *  @nowait */
    void ReadzPLRVersion(char *out);
    /** @} */

    /** @name Maintenance
     *  Flash, converter values, test commands and the PC's clock; see
     *  @ref grp_maint.
     *  @{ */

    /** @brief Writes the box's 240-byte flash area, in four commands.
     *  @param data 240 bytes.
     *  @return The box's result byte (0 to 255); -1 the box is not reachable;
     *  -3 a chunk failed; -4 data is null.
     *  @blocks{Four commands: 4 × 10.1 s, plus the hand-over waits of each.} */
    int WriteDataToFlash(unsigned char *data);
    /** @brief Opens the box's flash access.
     *  @cmdcodes
     *  @cmd{3.1} */
    int FS_Open();
    /** @brief Closes the box's flash access; a running playback is stopped
     *  first.
     *  @cmdcodes
     *  @blocks{Up to 10.2 s to stop a playback, then its reply, at most 3.1 s,
     *  plus the hand-over waits (@ref waits).} */
    int FS_Close();
    /** @brief Reads converter channel 0/1.
     *  @param out 2 bytes: the value's low byte, then its high byte.
     *  @cmdcodes -4 out is null.
     *  @cmd{3.1} */
    int Read_ADC01_Modified(unsigned char *out);
    /** @brief Reads the three converter correction values.
     *  @param out 4 words: the three values and 0.
     *  @cmdcodes -4 out is null.
     *  @cmd{3.1} */
    int ReadADCModValue(unsigned short *out);
    /** @brief Sends a test packet and reads the box's echo; up to three
     *  attempts, then the message "Receive Error!".
     *  @param code Command code of the test packet.
     *  @param buf 64 bytes: bytes 0 to 59 are sent; bytes 4 to 63 receive
     *  the echo.
     *  @return 1 (also after three failed attempts); -1 the box is not
     *  reachable; -4 buf is null.
     *  @blocks{Three commands: 3 × 10.1 s, plus the hand-over waits of each,
     *  plus the message as long as it is shown.} */
    int Test_End0_WR(unsigned char code, unsigned char *buf);
    /** @brief Test command U2.
     *  @param value Sent as is.
     *  @cmdcodes
     *  @cmd{10.1} */
    int Test_U2(unsigned char value);
    /** @brief Test command: status.
     *  @param value Sent as is.
     *  @cmdcodes
     *  @cmd{10.1} */
    int Test_Status(unsigned char value);
    /** @brief Test command: control outputs.
     *  @param a Its low byte goes to the box.
     *  @param b Its low byte goes to the box.
     *  @cmdcodes
     *  @cmd{10.1} */
    int Test_CtrlOut(int a, int b);
    /** @brief Test command: flash.
     *  @param a Its low byte goes to the box.
     *  @param values 5 ints; their low bytes go to the box.
     *  @cmdcodes -4 values is null.
     *  @cmd{10.1} */
    int Test_Flash(int a, int *values);

    /** @brief The PC's local year.
     *  @param out 5 bytes: four digits and a zero byte.
     *  @return 1; -4 out is null.
     *  @nowait */
    int GetYear(char *out);
    /** @brief The PC's local month.
     *  @param out 3 bytes: 01 to 12 and a zero byte.
     *  @return 1; -4 out is null.
     *  @nowait */
    int GetMoth(char *out);
    /** @brief The PC's local day of the month.
     *  @param out 3 bytes: 01 to 31 and a zero byte.
     *  @return 1; -4 out is null.
     *  @nowait */
    int GetDay(char *out);
    /** @brief The PC's local hour.
     *  @param out 3 bytes: 00 to 23 and a zero byte.
     *  @return 1; -4 out is null.
     *  @nowait */
    int GetHour(char *out);
    /** @brief The PC's local minute.
     *  @param out 3 bytes: 00 to 59 and a zero byte.
     *  @return 1; -4 out is null.
     *  @nowait */
    int GetMin(char *out);
    /** @brief The PC's local second.
     *  @param out 3 bytes: 00 to 59 (60 at a leap second) and a zero byte.
     *  @return 1; -4 out is null.
     *  @nowait */
    int GetSec(char *out);
    /** @} */

    /** @name Record cipher
     *  The 64-bit block cipher of the identity records; see @ref grp_cipher.
     *  @{ */

    /** @brief Enciphers or deciphers bytes block by block.
     *  @param in length bytes, rounded up to whole 8-byte blocks (at least
     *  one block); all of them are read.
     *  @param out As many bytes as in; may be in.
     *  @param length Byte count; a partial block is processed whole.
     *  @param table Subkey table of 7 rows of 10 words: an enciphering table
     *  enciphers, the matching deciphering table deciphers.
     *  @nowait */
    void Add_Sub_Secret(unsigned char *in, unsigned char *out, int length,
                        unsigned short (*table)[10]);
    /** @brief Enciphers or deciphers one 8-byte block.
     *  @param in 8 bytes.
     *  @param out 8 bytes.
     *  @param table Subkey table of 7 rows of 10 words.
     *  @nowait */
    void cip(unsigned char *in, unsigned char *out, unsigned short (*table)[10]);
    /** @brief Multiplication modulo 65537, with 0 standing for 65536.
     *  @param a First operand, 0 to 65535.
     *  @param b Second operand, 0 to 65535.
     *  @return The product, 0 to 65535.
     *  @nowait */
    unsigned short mul(unsigned int a, unsigned int b);
    /** @brief Sets the key under which ReadModuleNmb(), ReadManuSerial() and
     *  ReadAdaptChar() deliver their records; sends nothing.
     *  @param key 16 bytes.
     *  @nowait */
    void SetKey(unsigned char *key);
    /** @} */

    /** @name Fields
     *  @{ */

    /** @brief The box this object drives, 0 to 3. */
    int DeviceIndex;
    /** @brief The box's last test echo (64 bytes), kept up to date on the
     *  object that started the session; Test_End0_WR() delivers it to any. */
    unsigned char EchoReply[64];
    /** @} */

private:
    int Create_WRWThd();
    int RequestSpaceCode();
    unsigned short inv(unsigned short x);
    void Generate_Key(unsigned char *key, unsigned short (*enc)[10],
                      unsigned short (*dec)[10]);

    CZusb_IO(const CZusb_IO &);
    CZusb_IO &operator=(const CZusb_IO &);
};

#endif
