#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>

#include "device/Cipher.h"
#include "zPLR.h"

using namespace zplr::device;

namespace {

using Table = unsigned short[7][10];

// Multiplication modulo 65537 done the long way, as the reference for Mul.
uint16_t SlowMul(uint32_t a, uint32_t b)
{
    uint64_t x = a ? a : 65536, y = b ? b : 65536;
    return static_cast<uint16_t>(x * y % 65537);
}

// IDEA's schedule as a true 128-bit rotation, independent of the recurrence
// the library uses.
void IdeaSchedule(const uint16_t w[8], uint16_t *z, int count)
{
    uint64_t hi = 0, lo = 0;
    for (int i = 0; i < 4; ++i) {
        hi = hi << 16 | w[i];
        lo = lo << 16 | w[i + 4];
    }
    for (int i = 0; i < count; ++i) {
        if (i > 0 && i % 8 == 0) {
            uint64_t h = hi << 25 | lo >> 39;
            lo = lo << 25 | hi >> 39;
            hi = h;
        }
        int k = i % 8;
        z[i] = static_cast<uint16_t>((k < 4 ? hi : lo) >> (48 - 16 * (k % 4)));
    }
}

// Published IDEA, encryption only.
void IdeaEncrypt(const uint16_t key[8], const uint16_t in[4], uint16_t out[4])
{
    uint16_t z[52];
    IdeaSchedule(key, z, 52);
    uint16_t x1 = in[0], x2 = in[1], x3 = in[2], x4 = in[3];
    const uint16_t *k = z;
    for (int r = 0; r < 8; ++r, k += 6) {
        x1 = SlowMul(x1, k[0]);
        x2 = static_cast<uint16_t>(x2 + k[1]);
        x3 = static_cast<uint16_t>(x3 + k[2]);
        x4 = SlowMul(x4, k[3]);
        uint16_t t0 = SlowMul(k[4], x1 ^ x3);
        uint16_t t1 = SlowMul(k[5], static_cast<uint16_t>(t0 + (x2 ^ x4)));
        uint16_t t2 = static_cast<uint16_t>(t0 + t1);
        x1 ^= t1;
        x4 ^= t2;
        uint16_t swap = x2 ^ t2;
        x2 = x3 ^ t1;
        x3 = swap;
    }
    out[0] = SlowMul(x1, k[0]);
    out[1] = static_cast<uint16_t>(x3 + k[1]);
    out[2] = static_cast<uint16_t>(x2 + k[2]);
    out[3] = SlowMul(x4, k[3]);
}

void RandomBytes(std::mt19937 &rng, unsigned char *p, int n)
{
    for (int i = 0; i < n; ++i) p[i] = static_cast<unsigned char>(rng());
}

// The classic IDEA test key 0001 0002 ... 0008 and its plaintext block.
const uint16_t ClassicKeyWords[8] = {1, 2, 3, 4, 5, 6, 7, 8};
const unsigned char ClassicKey[16] = {0, 1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0, 7, 0, 8};
const unsigned char ClassicPlain[8] = {0, 0, 0, 1, 0, 2, 0, 3};

}  // namespace

TEST(CipherArithmetic, MulAndInvAgainstTheModularReference)
{
    CZusb_IO io(0);
    EXPECT_EQ(io.mul(0, 0), 1);  // 65536 * 65536 = 1
    EXPECT_EQ(io.mul(0, 1), 0);
    EXPECT_EQ(io.mul(1, 0), 0);
    EXPECT_EQ(io.mul(1, 1), 1);
    EXPECT_EQ(io.mul(65535, 65535), 4);  // (-2)^2
    EXPECT_EQ(io.mul(0, 65535), 2);
    EXPECT_EQ(io.mul(65535, 0), 2);
    EXPECT_EQ(io.mul(1, 65535), 65535);

    EXPECT_EQ(Inv(0), 0);
    EXPECT_EQ(Inv(1), 1);
    EXPECT_EQ(Inv(65535), 32768);

    std::mt19937 rng(4711);
    for (int i = 0; i < 200000; ++i) {
        uint32_t a = rng() & 0xFFFF, b = rng() & 0xFFFF;
        ASSERT_EQ(io.mul(a, b), SlowMul(a, b)) << a << " * " << b;
    }
    int wrong = 0, first = 0;
    for (uint32_t x = 1; x <= 65535; ++x)
        if (io.mul(x, Inv(static_cast<uint16_t>(x))) != 1 && wrong++ == 0) first = x;
    EXPECT_EQ(wrong, 0) << "first failing x: " << first;
}

TEST(CipherKey, KeyBytesCombineWith265AndZeroGivesZero)
{
    unsigned char key[16] = {0xFF, 0xFF, 0x01, 0x00};
    Table enc, dec;
    GenerateKey(key, enc, dec);
    EXPECT_EQ(enc[1][1], 2294);
    EXPECT_EQ(enc[2][1], 265);

    // A zero key gives zero tables.
    std::memset(key, 0, sizeof key);
    std::memset(enc, 0xAA, sizeof enc);
    std::memset(dec, 0xAA, sizeof dec);
    GenerateKey(key, enc, dec);
    for (int j = 0; j < 7; ++j)
        for (int r = 0; r < 10; ++r) {
            EXPECT_EQ(enc[j][r], 0) << j << "," << r;
            EXPECT_EQ(dec[j][r], 0) << j << "," << r;
        }
}

TEST(CipherKey, ScheduleIsIdeas)
{
    // The classic key has zero high bytes, so its words are the same under
    // either byte combination, and the tables must hold IDEA's subkeys.
    Table enc, dec;
    GenerateKey(ClassicKey, enc, dec);
    uint16_t z[54];
    IdeaSchedule(ClassicKeyWords, z, 54);
    for (int r = 1; r <= 9; ++r)
        for (int j = 1; j <= 6; ++j)
            EXPECT_EQ(enc[j][r], z[6 * (r - 1) + j - 1]) << j << "," << r;
}

TEST(CipherKey, NullArgumentsChangeNothing)
{
    unsigned char key[16] = {1, 2, 3};
    Table enc, dec, before;
    std::memset(enc, 0x5A, sizeof enc);
    std::memcpy(before, enc, sizeof enc);
    std::memcpy(dec, enc, sizeof enc);
    GenerateKey(nullptr, enc, dec);
    GenerateKey(key, enc, nullptr);
    GenerateKey(key, nullptr, dec);
    EXPECT_EQ(std::memcmp(enc, before, sizeof enc), 0);
    EXPECT_EQ(std::memcmp(dec, before, sizeof dec), 0);

    CZusb_IO io(0);
    unsigned char in[16] = {1, 2, 3, 4, 5, 6, 7, 8}, out[16];
    std::memset(out, 0xCC, sizeof out);
    io.cip(nullptr, out, enc);
    io.cip(in, out, nullptr);
    io.cip(in, nullptr, enc);
    io.Add_Sub_Secret(nullptr, out, 16, enc);
    io.Add_Sub_Secret(in, out, 16, nullptr);
    io.Add_Sub_Secret(in, nullptr, 16, enc);
    for (unsigned char c : out) EXPECT_EQ(c, 0xCC);
}

TEST(CipherBlock, DecipherUndoesEncipher)
{
    CZusb_IO io(0);
    std::mt19937 rng(20240601);
    for (int k = 0; k < 300; ++k) {
        unsigned char key[16];
        if (k == 0)
            std::memset(key, 0, sizeof key);
        else if (k == 1)
            std::memset(key, 0xFF, sizeof key);
        else if (k == 2)
            std::memcpy(key, BoxKey, 16);
        else
            RandomBytes(rng, key, 16);
        Table enc, dec;
        GenerateKey(key, enc, dec);
        for (int b = 0; b < 30; ++b) {
            unsigned char plain[8], crypt[8], back[8];
            RandomBytes(rng, plain, 8);
            if (b == 0) std::memset(plain, 0, 8);
            io.cip(plain, crypt, enc);
            io.cip(crypt, back, dec);
            ASSERT_EQ(std::memcmp(plain, back, 8), 0) << "key " << k << " block " << b;
        }
    }
}

TEST(CipherBlock, DiffersFromPublishedIdea)
{
    uint16_t plainWords[4] = {0, 1, 2, 3}, idea[4];
    IdeaEncrypt(ClassicKeyWords, plainWords, idea);
    const uint16_t published[4] = {0x11FB, 0xED2B, 0x0198, 0x6DE5};
    for (int i = 0; i < 4; ++i) ASSERT_EQ(idea[i], published[i]) << i;

    CZusb_IO io(0);
    Table enc, dec;
    GenerateKey(ClassicKey, enc, dec);
    unsigned char plain[8], out[8];
    std::memcpy(plain, ClassicPlain, 8);
    io.cip(plain, out, enc);
    const unsigned char publishedBytes[8] = {0x11, 0xFB, 0xED, 0x2B, 0x01, 0x98, 0x6D, 0xE5};
    EXPECT_NE(std::memcmp(out, publishedBytes, 8), 0);
}

TEST(CipherRecords, BlockCountFollowsLength)
{
    CZusb_IO io(0);
    Table enc, dec;
    GenerateKey(reinterpret_cast<const uint8_t *>(BoxKey), enc, dec);
    std::mt19937 rng(99);
    unsigned char in[32];
    RandomBytes(rng, in, sizeof in);

    struct Case { int length, written; };
    for (Case c : {Case{0, 8}, Case{-5, 8}, Case{7, 8}, Case{8, 8}, Case{9, 16}, Case{16, 16}}) {
        unsigned char out[32];
        std::memset(out, 0xCC, sizeof out);
        io.Add_Sub_Secret(in, out, c.length, enc);
        for (int k = 0; k < c.written / 8; ++k) {
            unsigned char expect[8];
            io.cip(in + 8 * k, expect, enc);
            EXPECT_EQ(std::memcmp(out + 8 * k, expect, 8), 0) << "length " << c.length << " block " << k;
        }
        for (int i = c.written; i < 32; ++i)
            EXPECT_EQ(out[i], 0xCC) << "length " << c.length << " byte " << i;
    }
}

TEST(CipherRecords, RecordRoundTripsInPlace)
{
    CZusb_IO io(0);
    Table enc, dec;
    GenerateKey(reinterpret_cast<const uint8_t *>(BoxKey), enc, dec);
    unsigned char record[16], copy[16], apart[16];
    std::memcpy(record, "ZL-0042-CUSTOMER", 16);
    std::memcpy(copy, record, 16);
    io.Add_Sub_Secret(record, apart, 16, enc);
    io.Add_Sub_Secret(record, record, 16, enc);
    EXPECT_NE(std::memcmp(record, copy, 16), 0);
    EXPECT_EQ(std::memcmp(record, apart, 16), 0);  // in place as into another buffer
    io.Add_Sub_Secret(record, record, 16, dec);
    EXPECT_EQ(std::memcmp(record, copy, 16), 0);
}

TEST(CipherClientKey, SetKeyFillsOnlyItsSlotsTable)
{
    unsigned char key[16];
    std::memcpy(key, "client key 0123!", 16);
    Table enc, dec;
    GenerateKey(key, enc, dec);

    unsigned short(*other)[10] = ClientTable(3);
    Table otherBefore;
    std::memcpy(otherBefore, other, sizeof otherBefore);

    CZusb_IO io(2);  // no session: the slot is closed
    io.SetKey(key);
    EXPECT_EQ(std::memcmp(ClientTable(2), enc, sizeof enc), 0);
    EXPECT_EQ(std::memcmp(other, otherBefore, sizeof otherBefore), 0);

    io.SetKey(nullptr);
    EXPECT_EQ(std::memcmp(ClientTable(2), enc, sizeof enc), 0);

    unsigned char zero[16] = {};
    io.SetKey(zero);
    Table zeroTable = {};
    EXPECT_EQ(std::memcmp(ClientTable(2), zeroTable, sizeof zeroTable), 0);
}
