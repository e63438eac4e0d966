#include "platform/CommandNames.h"

namespace zplr::platform {

const char *CommandName(uint8_t code)
{
    switch (code) {
    case 3: return "PutDown";
    case 4: return "PickUp";
    case 6: return "DialNmb";
    case 7: return "SetRecordStatus";
    case 9: return "SetPlayStatus";
    case 13: return "SetContinueReturn450Hz";
    case 14: return "RequestSpaceCode";
    case 17: return "IfMute";
    case 18: return "IfMicOut/FS_Open/FS_Close";
    case 21: return "GetLine_Mic";
    case 22: return "SetCheckDTMFCall";
    case 23: return "SetNextCallDelay";
    case 24: return "ReaddiFlagsValue";
    case 25: return "WriteDataToFlash";
    case 26: return "DetectRing";
    case 27: return "ReadZL_Type";
    case 28: return "ReadAdaptChar";
    case 29: return "ReadManuSerial";
    case 30: return "ReadModuleNmb";
    case 31: return "ReadCustomerID";
    case 36: return "ReadHSPInfo";
    case 38: return "ReadWritingInfoCounter";
    case 39: return "SetAmp";
    case 40: return "GetOEData";
    case 41: return "caller-number acknowledgement";
    case 42: return "SetEstimateStatus";
    case 43: return "SetGetFSKOEData";
    case 44: return "Read_ADC01_Modified";
    case 46: return "SetDetectSoundValue";
    case 47: return "ModifyCustomerID (second packet)";
    case 48: return "ReadSP_Sum";
    case 49: return "ModKVer";
    case 50: return "SetFSKParam";
    case 51: return "SetZLDeviceNmb";
    case 53: return "ReadADCModValue";
    case 54: return "ReadSTMDeviceID";
    case 55: return "ReadSTM32Temp";
    case 224: return "Test_U2";
    case 225: return "Test_Status";
    case 226: return "Test_CtrlOut";
    case 227: return "SetDialParaToZL";
    case 228: return "Test_Flash";
    default: return "unlisted command";
    }
}

const char *ReportName(uint8_t code)
{
    switch (code) {
    case 3:
    case 6: return "reply";
    case 4: return "caller-ID message";
    case 5: return "tone measurement";
    case 7: return "key code";
    case 8: return "flags reply";
    case 9: return "play-block acknowledgement";
    case 10:
    case 19: return "flash-write reply";
    case 11:
    case 20:
    case 37:
    case 12:
    case 13:
    case 14:
    case 15:
    case 18:
    case 35:
    case 36: return "information reply";
    case 21: return "FSK data reply";
    case 22: return "incoming call with data";
    case 23: return "converter reply";
    case 25: return "called party answered";
    case 32: return "identity-change reply";
    case 33: return "incoming call";
    case 34: return "sum reply";
    case 208: return "line status";
    default: return "unlisted report";
    }
}

}  // namespace zplr::platform
