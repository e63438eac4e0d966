#include "device/Cipher.h"

#include <cstring>

#include "zPLR.h"

namespace zplr::device {
namespace {
constexpr int Rounds = 8;
constexpr int OutputRound = Rounds + 1;
constexpr int ScheduleWords = 6 * OutputRound;

uint16_t Add(uint16_t a, uint16_t b) { return static_cast<uint16_t>(a + b); }
uint16_t Neg(uint16_t a) { return static_cast<uint16_t>(0x10000 - a); }

uint16_t Word(const uint8_t *p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
void PutWord(uint8_t *p, uint16_t w)
{
    p[0] = static_cast<uint8_t>(w >> 8);
    p[1] = static_cast<uint8_t>(w);
}
}  // namespace

uint16_t Mul(uint32_t a, uint32_t b)
{
    if (a == 0) return static_cast<uint16_t>(65537 - b);
    if (b == 0) return static_cast<uint16_t>(65537 - a);
    uint32_t p = a * b;
    int32_t r = static_cast<int32_t>(p & 0xFFFF) - static_cast<int32_t>(p >> 16);
    if (r < 0) r += 65537;
    return static_cast<uint16_t>(r);
}

uint16_t Inv(uint16_t x)
{
    if (x == 0) return 0;
    int32_t m = 65537, n = x;
    int32_t s = 0, t = 1;
    for (;;) {
        int32_t q = m / n, r = m % n;
        if (r == 0) return static_cast<uint16_t>(t < 0 ? t + 65537 : t);
        m = n;
        n = r;
        int32_t next = s - q * t;
        s = t;
        t = next;
    }
}

void GenerateKey(const uint8_t key[16], uint16_t enc[7][10], uint16_t dec[7][10])
{
    if (!key || !enc || !dec) return;

    // The box combines each byte pair with 265, not 256; its records were
    // enciphered that way.
    uint16_t s[ScheduleWords];
    for (int i = 0; i < 8; ++i)
        s[i] = static_cast<uint16_t>(265 * key[2 * i] + key[2 * i + 1]);
    // IDEA's schedule: the 128-bit key rotated left by 25 bits per eight words.
    for (int i = 8; i < ScheduleWords; ++i) {
        uint16_t hi, lo;
        if ((i + 2) % 8 == 0) {
            hi = s[i - 7];
            lo = s[i - 14];
        } else if ((i + 1) % 8 == 0) {
            hi = s[i - 15];
            lo = s[i - 14];
        } else {
            hi = s[i - 7];
            lo = s[i - 6];
        }
        s[i] = static_cast<uint16_t>(hi << 9 ^ lo >> 7);
    }

    // Built aside and copied at the end, so that enc and dec may overlap the
    // key or each other; the unused row and column come out zero.
    uint16_t e[7][10] = {};
    uint16_t d[7][10] = {};
    for (int r = 1; r <= OutputRound; ++r)
        for (int j = 1; j <= 6; ++j)
            e[j][r] = s[6 * (r - 1) + j - 1];

    // The halves change places after every round, the last included, so the
    // additive subkeys stay in their rows and the multiply-add pair of round r
    // serves the decryption round 9 - r.
    for (int r = 1; r <= OutputRound; ++r) {
        d[1][10 - r] = Inv(e[1][r]);
        d[2][10 - r] = Inv(e[2][r]);
        d[3][10 - r] = Neg(e[3][r]);
        d[4][10 - r] = Neg(e[4][r]);
        d[5][9 - r] = e[5][r];
        d[6][9 - r] = e[6][r];
    }

    std::memcpy(enc, e, sizeof e);
    std::memcpy(dec, d, sizeof d);
}

void CipherBlock(const uint8_t in[8], uint8_t out[8], const uint16_t t[7][10])
{
    if (!in || !out || !t) return;

    uint16_t x1 = Word(in), x2 = Word(in + 2), x3 = Word(in + 4), x4 = Word(in + 6);
    for (int r = 1; r <= Rounds; ++r) {
        uint16_t a = Mul(x1, t[1][r]);
        uint16_t b = Mul(x2, t[2][r]);
        uint16_t c = Add(x3, t[3][r]);
        uint16_t d = Add(x4, t[4][r]);
        uint16_t k = Mul(t[5][r], a ^ c);
        uint16_t u1 = Mul(t[6][r], Add(k, b ^ d));
        uint16_t u2 = Add(k, u1);
        x1 = c ^ u1;
        x2 = d ^ u2;
        x3 = a ^ u1;
        x4 = b ^ u2;
    }
    PutWord(out, Mul(x1, t[1][OutputRound]));
    PutWord(out + 2, Mul(x2, t[2][OutputRound]));
    PutWord(out + 4, Add(x3, t[3][OutputRound]));
    PutWord(out + 6, Add(x4, t[4][OutputRound]));
}

void AddSubSecret(const uint8_t *in, uint8_t *out, int length, const uint16_t t[7][10])
{
    if (!in || !out || !t) return;

    int blocks = length < 8 ? 1 : length / 8 + (length % 8 != 0);
    for (int k = 0; k < blocks; ++k)
        CipherBlock(in + 8 * k, out + 8 * k, t);
}

}  // namespace zplr::device

using namespace zplr::device;

unsigned short CZusb_IO::mul(unsigned int a, unsigned int b) { return Mul(a, b); }

unsigned short CZusb_IO::inv(unsigned short x) { return Inv(x); }

void CZusb_IO::cip(unsigned char *in, unsigned char *out, unsigned short (*table)[10])
{
    CipherBlock(in, out, table);
}

void CZusb_IO::Add_Sub_Secret(unsigned char *in, unsigned char *out, int length,
                              unsigned short (*table)[10])
{
    AddSubSecret(in, out, length, table);
}

void CZusb_IO::Generate_Key(unsigned char *key, unsigned short (*enc)[10],
                            unsigned short (*dec)[10])
{
    GenerateKey(key, enc, dec);
}

// Works on a closed slot as well: it touches only the slot's client table.
void CZusb_IO::SetKey(unsigned char *key)
{
    if (!key) return;
    uint16_t dec[7][10];
    GenerateKey(key, ClientTable(DeviceIndex), dec);
}
