/* zPLR: host library of the ZL telephone-line box.
 *
 * One CZusb_IO object per box, chosen by its device index 0 to 3. Two objects
 * of one index drive the same box; destroying either ends that box's session.
 * Calls on one box come from one application thread at a time.
 * Plain C++11.
 */
#ifndef ZPLR_H
#define ZPLR_H

#include "zPLR_host.h"

namespace zplr {
/* Stands in for the application framework's root class. */
class ZPLR_API CObject {
public:
    virtual ~CObject();
};
}

class ZPLR_API CZusb_IO : public zplr::CObject {
public:
    CZusb_IO();
    explicit CZusb_IO(int deviceIndex);
    virtual ~CZusb_IO();

    /* Session. Both starts return 1; IfConnectUSB tells whether the box is
     * reachable (0) or not (1). */
    int InitialUSB_IO();
    int InitialUSB_IOEx(int reserved);
    int ExistUSB_IO();
    int IfConnectUSB();
    void IfNotCompleteInitUSB();

    /* Hands one 64-byte command packet to the box's writer: 1 handed over,
     * -2 writer not running, -3 previous reply still awaited. */
    int Write_Data_to_USB(unsigned char *packet);

    /* Decodes a three-byte line-status record (type, state/flags, mode). */
    void ProcZLStatus(unsigned char *status);

    /* The whole status word. */
    int GetTelStatus();

    /* ---- line control ---- */
    /* Command results: 1 replied, -1 closed, -2 writer not running, -3 no
     * reply in time, -4 precondition failed or a null buffer. */
    int PickUp();
    int PickUpEst(int param);
    int PutDown();
    int PutDownEst(int param);
    int SetEstimateStatus(int status);
    int SetNextCallDelay(int delay);
    int DetectRing();
    int CheckCallStatus();
    void ClearCallBit();
    int GetCalledPickUpStatus();
    int CheckPutDown();
    int ReadPhoneStatus();
    int CheckPhone_PutDown();
    int CheckPutDownInEstimate();
    int LinePickUpMode();
    int CheckCanNextCallIn();
    int ReaddiFlagsValue();
    void SetTelStatus(int value);
    void TelSleep(int ms);

    /* Dialling; the line must be off hook. At most 41 (DialNmbCStr: 40)
     * characters are dialled. */
    int DialNmb(char *number);
    int DialNmbCStr(char *number);
    int SetDialPara(int p1, int p2, int p3);
    int SetDialParaToZL(int a, int b, int c);

    /* Caller number (buffer of 61 bytes), key codes, FSK data (63 bytes).
     * ReadstrCallNmb's text stays valid until the next call on this box. */
    int Read_Call_Nmb(unsigned char *number);
    char *ReadstrCallNmb();
    int GetDTMFCode(unsigned char *code);
    int TestTool_GetDTMFCode(unsigned char *codes);
    int SetCheckDTMFCall(int on);
    int SetFSKParam(int p1, int p2);
    int SetGetFSKOEData(int mode);
    int GetOEData(unsigned char select, unsigned char *data);

    /* 450 Hz call-progress measurements, in pairs. */
    int SetContinueReturn450Hz(int mode);
    int Get450HzRecd(unsigned short *pair);
    int ReadBusyBit();
    void ClearBusyCheckBit();
    int SetDetectSoundValue(int level);

    /* Audio path. */
    int IfMicOut(int on);
    int IfMute(int on);
    int GetLine_Mic(int line);
    int SetAmp(int value);

    /* ---- sound ---- */
    /* Recording from the line to an A-law WAV file (8000 Hz, mono, 48-byte
     * header). '*' and '#' are left out of the path; at most 263 characters
     * remain. Start: 1, -1 closed, -2 not running, -4 bad path, file not
     * creatable, line on hook (recordMode < 1) or a recording still running.
     * Stop: the file's size, -3 the recording broke (pipe failure) or did
     * not end in time, -1 closed or the box not told. */
    int StartReadSound(const char *fileName, int recordMode);
    int StartReadSoundCStrF(const char *fileName);
    int StopReadSound();
    int SetRecordStatus(bool on, int mode);
    unsigned int ReadRecLength();

    /* Recording into the application's memory: the raw stream of 256-byte
     * frames, in chunks of up to 512 bytes. A read needs room for length + 1
     * bytes; it returns what it copied, also less when the recording ends. */
    int OpenReadSoundInPC(int recordMode);
    int ReadSoundFromBufferToPC(unsigned char *buffer, int length);
    int CloseReadSoundInPC();
    /* ---- playback to the line ---- */
    /* Plays a WAV file of the library's layout (48-byte header, 8 kHz A-law
     * mono) from startPermille thousandths on. 1 started, -1 closed, -2
     * sound-out thread not running, -3 recording did not give way, -4 the
     * mode needs the line off hook, or no readable file at the path (null,
     * or longer than 1023 characters). */
    int StartPlaySound(const char *fileName, int startPermille, int playMode, int playOption,
                       int playFlag);
    int StartPlaySoundCStr(char *fileName, int startPermille, int playMode, int playOption,
                           int playFlag);
    int StopPlaySound();
    int SetPlayStatus(unsigned char start, unsigned char mode, unsigned char option,
                      unsigned char flag);
    int CheckWavFileExist(char *fileName);
    /* Thousandths played; 1000 once after the box reported the end; -1
     * after the line was released. */
    int GetWriteSoundRate();
    unsigned long long GetWriteSoundBytes();
    void SeekFilePointForTelInfo(int permille);

    /* Sound from the application's memory to the line, in chunks of up to
     * 512 bytes; each call returns once its sound is in the pipe. */
    int OpenWriteSoundToBuff();
    int WriteSoundFromPCToBuffer(unsigned char *buffer, int length);
    int CloseWriteSoundToBuff();

    /* ---- device records and maintenance ---- */
    /* Identity records. Buffers: 17 bytes for the 16-byte records, 2 for
     * the type and the counter, 12 for HSP information, 6 for the sum
     * record. Module number, serial and adapter characteristics come
     * enciphered under the key given to SetKey. */
    int ReadCustomerID(unsigned char *out);
    int ReadModuleNmb(unsigned char *out);
    int ReadManuSerial(unsigned char *out);
    int ReadAdaptChar(unsigned char *out);
    int ReadZL_Type(unsigned char *out);
    int ReadWritingInfoCounter(unsigned char *out);
    int ReadHSPInfo(unsigned char *out);
    int ReadSP_Sum(unsigned char *out);
    int ReadSTMDeviceID(unsigned char *out);
    int ReadSTM32Temp();
    int ModKVer(unsigned char value);
    int SetZLDeviceNmb(unsigned char *record);
    /* Keeps the record's 7-byte head; at most 9 characters of id. Returns
     * the box's verdict: 1 stored, -1 or -2 refused, 0 no verdict. */
    int ModifyCustomerID(unsigned char *id);
    /* The text stays valid until the next call on this box; empty on failure. */
    char *ReadstrCustomerID();
    /* 23 bytes. */
    void ReadzPLRVersion(char *out);

    /* Flash (240 bytes), converter values, test commands. */
    int WriteDataToFlash(unsigned char *data);
    int FS_Open();
    int FS_Close();
    int Read_ADC01_Modified(unsigned char *out);
    int ReadADCModValue(unsigned short *out);
    int Test_End0_WR(unsigned char code, unsigned char *buf);
    int Test_U2(unsigned char value);
    int Test_Status(unsigned char value);
    int Test_CtrlOut(int a, int b);
    int Test_Flash(int a, int *values);

    /* The PC's local date and time as texts: 5 bytes for the year, 3 for
     * the others. */
    int GetYear(char *out);
    int GetMoth(char *out);
    int GetDay(char *out);
    int GetHour(char *out);
    int GetMin(char *out);
    int GetSec(char *out);

    /* Record cipher. Tables are 7 rows of 10 words. */
    void Add_Sub_Secret(unsigned char *in, unsigned char *out, int length,
                        unsigned short (*table)[10]);
    void cip(unsigned char *in, unsigned char *out, unsigned short (*table)[10]);
    unsigned short mul(unsigned int a, unsigned int b);
    void SetKey(unsigned char *key);

    int DeviceIndex;
    unsigned char EchoReply[64];

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
