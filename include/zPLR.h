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

    /* ---- device records and maintenance ---- */

    /* Record cipher. Tables are 7 rows of 10 words. */
    void Add_Sub_Secret(unsigned char *in, unsigned char *out, int length,
                        unsigned short (*table)[10]);
    void cip(unsigned char *in, unsigned char *out, unsigned short (*table)[10]);
    unsigned short mul(unsigned int a, unsigned int b);
    void SetKey(unsigned char *key);

    int DeviceIndex;
    unsigned char EchoReply[64];

private:
    /* ---- private: line control ---- */
    /* ---- private: device records and maintenance ---- */
    int Create_WRWThd();
    int RequestSpaceCode();
    unsigned short inv(unsigned short x);
    void Generate_Key(unsigned char *key, unsigned short (*enc)[10],
                      unsigned short (*dec)[10]);

    CZusb_IO(const CZusb_IO &);
    CZusb_IO &operator=(const CZusb_IO &);
};

#endif
