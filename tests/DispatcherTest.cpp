// What each report does to the slot.
#include <cstring>
#include <functional>
#include <random>
#include <thread>

#include "SimFixture.h"
#include "transport/Channel.h"
#include "transport/Dispatcher.h"

using namespace zplr;
using namespace zplr::transport;
using namespace zplr::test;

namespace {

using Report = uint8_t[PacketSize];

// A slot with no threads, as the dispatcher sees it between reads. Slot 3 is
// reserved for these tests.
DeviceSlot &Fresh()
{
    DeviceSlot &s = SlotFor(3);
    s.DeviceStatus.store(AwaitingReply);
    s.DtmfReadIndex = s.DtmfWriteIndex = 0;
    s.Tone450ReadIndex = s.Tone450WriteIndex = 0;
    s.ModifyIdResult = 0;
    s.SoundOutAck = 0;
    s.PlayError = 0;
    s.DiFlags = 0;
    std::memset(s.CallerIdRecord, 0, sizeof s.CallerIdRecord);
    std::memset(s.InfoReply, 0xEE, sizeof s.InfoReply);
    std::memset(s.FskOeData, 0xEE, sizeof s.FskOeData);
    std::memset(s.SumReply, 0xEE, sizeof s.SumReply);
    return s;
}

void Feed(DeviceSlot &s, std::initializer_list<uint8_t> bytes, uint8_t *echo = nullptr)
{
    uint8_t r[PacketSize] = {};
    int i = 0;
    for (uint8_t b : bytes)
        r[i++] = b;
    // Pattern behind the given bytes, to catch copies that run long.
    for (; i < PacketSize; ++i)
        r[i] = static_cast<uint8_t>(0xA0 + i % 16);
    Dispatch(s, r, echo);
}

std::vector<uint8_t> Keys(DeviceSlot &s)
{
    std::vector<uint8_t> out;
    uint8_t k;
    while (PopKey(s, k))
        out.push_back(k);
    return out;
}

struct Row {
    std::initializer_list<uint8_t> Bytes;
    bool Clears;
    std::function<void(DeviceSlot &)> Check;
};

TEST(DispatcherTest, EveryReportCode)
{
    auto none = [](DeviceSlot &) {};
    const Row rows[] = {
        {{0}, true, none},   {{1, 9, 9}, true, none}, {{2}, true, none},   {{16}, true, none},
        {{17}, true, none},  {{24}, true, none},      {{252}, true, none}, {{253}, true, none},
        {{254}, true, none}, {{255, 1, 2, 3}, true, none},
        {{3}, true, [](DeviceSlot &s) { EXPECT_TRUE(s.Has(Report3Seen)); }},
        {{6}, true, [](DeviceSlot &s) { EXPECT_TRUE(s.Has(Report6Seen)); }},
        {{8, 0x78, 0x56, 0x34, 0x12}, true, [](DeviceSlot &s) { EXPECT_EQ(s.DiFlags.load(), 0x12345678u); }},
        {{10, 0x5A}, true, [](DeviceSlot &s) { EXPECT_EQ(s.FlashWriteResult.load(), 0x5A); }},
        {{19, 0x01}, true, [](DeviceSlot &s) { EXPECT_EQ(s.FlashWriteResult.load(), 0x01); }},
        {{11, 7}, true, [](DeviceSlot &s) { EXPECT_EQ(s.InfoReply[0], 7); EXPECT_EQ(s.InfoReply[1], 0); EXPECT_EQ(s.InfoReply[2], 0xEE); }},
        {{20, 8}, true, [](DeviceSlot &s) { EXPECT_EQ(s.InfoReply[0], 8); EXPECT_EQ(s.InfoReply[1], 0); }},
        {{37, 9}, true, [](DeviceSlot &s) { EXPECT_EQ(s.InfoReply[0], 9); EXPECT_EQ(s.InfoReply[1], 0); }},
        {{12, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, true,
         [](DeviceSlot &s) { EXPECT_EQ(s.InfoReply[15], 16); EXPECT_EQ(s.InfoReply[16], 0); EXPECT_EQ(s.InfoReply[17], 0xEE); }},
        {{15, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}, true,
         [](DeviceSlot &s) { EXPECT_EQ(s.InfoReply[0], 1); EXPECT_EQ(s.InfoReply[16], 0); }},
        {{18, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, true,
         [](DeviceSlot &s) { EXPECT_EQ(s.InfoReply[10], 11); EXPECT_EQ(s.InfoReply[11], 0); EXPECT_EQ(s.InfoReply[12], 0xEE); }},
        {{35, 1, 2, 3, 4, 5, 6}, true,
         [](DeviceSlot &s) { EXPECT_EQ(s.InfoReply[5], 6); EXPECT_EQ(s.InfoReply[6], 0); EXPECT_EQ(s.InfoReply[7], 0xEE); }},
        {{36, 1}, true, [](DeviceSlot &s) { EXPECT_EQ(s.InfoReply[0], 1); EXPECT_EQ(s.InfoReply[32], 0); EXPECT_EQ(s.InfoReply[33], 0xEE); }},
        {{21, 'a'}, true, [](DeviceSlot &s) { EXPECT_EQ(s.FskOeData[0], 'a'); EXPECT_EQ(s.FskOeData[62], 0xA0 + 63 % 16); EXPECT_EQ(s.FskOeData[63], 0); EXPECT_EQ(s.FskOeData[64], 0xEE); }},
        {{34, 1, 2, 3, 4, 5}, true, [](DeviceSlot &s) { EXPECT_EQ(s.SumReply[4], 5); EXPECT_EQ(s.SumReply[5], 0); EXPECT_EQ(s.SumReply[6], 0xEE); }},
        {{23, 0x34, 0x12}, true, [](DeviceSlot &s) { EXPECT_EQ(s.Adc01Value.load(), 0x1234); }},
        {{22, 1, 2, 3, 4, 5}, true, [](DeviceSlot &s) {
             EXPECT_TRUE(s.Has(IncomingCall));
             EXPECT_EQ(s.CallerIdRecord[63], 1);
             EXPECT_EQ(s.CallerIdRecord[67], 5);
             EXPECT_EQ(s.CallerIdRecord[68], 0);
             EXPECT_EQ(s.CallerIdRecord[69], 0);
         }},
        {{32, 0}, true, [](DeviceSlot &s) { EXPECT_EQ(s.ModifyIdResult.load(), -1); }},
        {{32, 1}, true, [](DeviceSlot &s) { EXPECT_EQ(s.ModifyIdResult.load(), 1); }},
        {{32, 2}, true, [](DeviceSlot &s) { EXPECT_EQ(s.ModifyIdResult.load(), -2); }},
        {{32, 3}, true, [](DeviceSlot &s) { EXPECT_EQ(s.ModifyIdResult.load(), 0); }},
        {{9, 0x00}, true, [](DeviceSlot &s) { EXPECT_EQ(s.SoundOutAck.load(), 1); }},
        {{9, 0xD0, 1, 1, 1}, true, [](DeviceSlot &s) { EXPECT_EQ(s.SoundOutAck.load(), 1); EXPECT_TRUE(s.Has(OffHook | PickUpMode1)); }},
        {{9, 0xD1, 4, 3, 2, 1, 1, '#'}, true, [](DeviceSlot &s) {
             EXPECT_EQ(s.DiFlags.load(), 0x01020304u);
             EXPECT_EQ(Keys(s), std::vector<uint8_t>{'#'});
         }},
        {{9, 0xD1, 4, 3, 2, 1, 0, '#'}, true, [](DeviceSlot &s) { EXPECT_TRUE(Keys(s).empty()); }},
        {{5, 40, 30, 0}, false, [](DeviceSlot &s) { EXPECT_TRUE(s.Has(BusyTone)); }},
        {{7, '5'}, false, [](DeviceSlot &s) { EXPECT_EQ(Keys(s), std::vector<uint8_t>{'5'}); }},
        {{25}, false, [](DeviceSlot &s) { EXPECT_TRUE(s.Has(CalledPickedUp)); }},
        {{33}, false, [](DeviceSlot &s) { EXPECT_TRUE(s.Has(IncomingCall)); }},
        {{208, 1, 1, 2}, false, [](DeviceSlot &s) { EXPECT_TRUE(s.Has(OffHook | PhoneOffHook | PickUpMode2)); }},
        {{209, 0, 0, 0}, false, [](DeviceSlot &s) { EXPECT_EQ(Keys(s), (std::vector<uint8_t>{0, 0, 0})); }},
        {{209, '1', '2', '3'}, false, [](DeviceSlot &s) { EXPECT_EQ(Keys(s), (std::vector<uint8_t>{'1', '2', '3'})); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "report " << int(*row.Bytes.begin()));
        DeviceSlot &s = Fresh();
        Feed(s, row.Bytes);
        EXPECT_EQ(!s.Has(AwaitingReply), row.Clears);
        row.Check(s);
    }
}

TEST(DispatcherTest, EchoReportsCopyTheWholeReport)
{
    for (uint8_t code : {248, 251}) {
        DeviceSlot &s = Fresh();
        uint8_t echo[PacketSize + 4];
        std::memset(echo, 0x11, sizeof echo);
        Feed(s, {code, 1, 2}, echo);
        EXPECT_EQ(echo[0], code);
        EXPECT_EQ(echo[2], 2);
        EXPECT_EQ(echo[63], 0xA0 + 63 % 16);
        EXPECT_EQ(echo[64], 0x11);
        EXPECT_FALSE(s.Has(AwaitingReply));
    }
}

TEST(DispatcherTest, CallerIdStorage)
{
    struct Case {
        uint8_t Length;
        int Stored;
    } cases[] = {{10, 14}, {58, 62}, {59, 63}, {255, 63}};
    for (const Case &c : cases) {
        SCOPED_TRACE(int(c.Length));
        DeviceSlot &s = Fresh();
        s.DeviceStatus.fetch_or(InitDone);
        std::memset(s.CallerIdRecord, 0x77, sizeof s.CallerIdRecord);
        Feed(s, {4, 1, 0x04, c.Length});
        EXPECT_EQ(s.CallerIdRecord[0], 1);
        EXPECT_EQ(s.CallerIdRecord[1], 0x04);
        EXPECT_EQ(s.CallerIdRecord[2], c.Length);
        EXPECT_EQ(s.CallerIdRecord[c.Stored - 1], c.Stored >= 4 ? 0xA0 + c.Stored % 16 : 0);
        EXPECT_EQ(s.CallerIdRecord[c.Stored], 0);
        EXPECT_EQ(s.CallerIdRecord[c.Stored + 1], 0x77);
        EXPECT_EQ(s.CallerIdRecord[64], 0x77);
        EXPECT_FALSE(s.Has(AwaitingReply));
    }

    // Failure keeps the older message; other sub-codes change nothing.
    DeviceSlot &s = Fresh();
    s.DeviceStatus.fetch_or(InitDone);
    Feed(s, {4, 1, 0x04, 10, '1', '2'});
    Feed(s, {4, 2, 0x80});
    EXPECT_EQ(s.CallerIdRecord[0], 2);
    EXPECT_EQ(s.CallerIdRecord[1], 0);
    EXPECT_EQ(s.CallerIdRecord[2], 10);
    EXPECT_EQ(s.CallerIdRecord[3], '1');
    Feed(s, {4, 9, 0x80, 3});
    EXPECT_EQ(s.CallerIdRecord[0], 2);
    EXPECT_EQ(s.CallerIdRecord[3], '1');

    // Before the start has finished nothing is stored.
    DeviceSlot &t = Fresh();
    Feed(t, {4, 1, 0x04, 10});
    EXPECT_EQ(t.CallerIdRecord[0], 0);
    EXPECT_FALSE(t.Has(AwaitingReply));
}

TEST(DispatcherTest, BusyWindowEdges)
{
    for (auto [value, busy] : {std::pair{10, false}, {11, true}, {59, true}, {60, false}, {300, false}}) {
        DeviceSlot &s = Fresh();
        Feed(s, {5, 200, uint8_t(value & 0xFF), uint8_t(value >> 8)});
        EXPECT_EQ(s.Has(BusyTone), busy) << value;
        uint16_t a = 0, b = 0;
        ASSERT_TRUE(PopTone(s, a));
        ASSERT_TRUE(PopTone(s, b));
        EXPECT_EQ(a, 200);
        EXPECT_EQ(b, value);
        EXPECT_FALSE(PopTone(s, a));
    }
}

TEST(DispatcherTest, ThirtyPushesWithoutAReadLookEmpty)
{
    DeviceSlot &s = Fresh();
    for (int i = 0; i < 30; ++i)
        Feed(s, {7, uint8_t('0' + i % 10)});
    EXPECT_TRUE(Keys(s).empty());
    // Order holds across the wrap.
    for (int i = 0; i < 20; ++i)
        Feed(s, {7, uint8_t(i)});
    std::vector<uint8_t> want;
    for (int i = 0; i < 20; ++i)
        want.push_back(uint8_t(i));
    EXPECT_EQ(Keys(s), want);
}

TEST(DispatcherTest, StatusRecords)
{
    struct Case {
        uint8_t Rec[3];
        uint32_t Before, After;
        int PlayError;
    } cases[] = {
        {{1, 0, 0}, OffHook | PhoneOffHook | Closed, Closed, 0},
        {{1, 1, 1}, PickUpMode2, OffHook | PhoneOffHook | PickUpMode1, 0},
        {{1, 1, 0}, PickUpMode1, OffHook | PhoneOffHook | PickUpMode2, 0},
        {{1, 2, 0}, OffHook | PhoneOffHook, OffHook, 0},
        {{1, 3, 0}, OffHook, OffHook, 0},
        {{3, 0x01, 0}, OffHook | PhoneOffHook, 0, -1},
        {{3, 0x08, 0}, 0, PhoneOffHook | PhonePickedUp, 0},
        {{3, 0x20, 0}, 0, PlayEnded, 0},
        {{3, 0x29, 0}, OffHook, PhoneOffHook | PhonePickedUp | PlayEnded, -1},
        {{3, 0xD6, 0}, OffHook, OffHook, 0},
        {{2, 1, 1}, 0, 0, 0},
        {{0, 1, 1}, 0, 0, 0},
    };
    CZusb_IO io(3);
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.Rec[0]) << "/" << int(c.Rec[1]) << "/" << int(c.Rec[2]));
        DeviceSlot &s = Fresh();
        s.DeviceStatus.store(c.Before | AwaitingReply);
        unsigned char rec[3] = {c.Rec[0], c.Rec[1], c.Rec[2]};
        io.ProcZLStatus(rec);
        EXPECT_EQ(s.DeviceStatus.load(), c.After | AwaitingReply);
        EXPECT_EQ(s.PlayError.load(), c.PlayError);
    }
    io.ProcZLStatus(nullptr);
}

TEST(DispatcherTest, GarbageNeverLeavesTheSlotInconsistent)
{
    std::mt19937 rng(7);
    DeviceSlot &s = Fresh();
    uint8_t echo[PacketSize];
    for (int i = 0; i < 20000; ++i) {
        uint8_t r[PacketSize];
        for (uint8_t &b : r)
            b = static_cast<uint8_t>(rng());
        if (i % 3 == 0)
            r[0] = static_cast<uint8_t>(rng() % 40);
        Dispatch(s, r, echo);
        ASSERT_LT(s.DtmfWriteIndex.load(), RingSize);
        ASSERT_LT(s.Tone450WriteIndex.load(), RingSize);
        ASSERT_EQ(s.InfoReply[64] == 0 || s.InfoReply[64] == 0xEE, true);
    }
}

TEST(DispatcherTest, ConcurrentKeyProducersLoseNothing)
{
    DeviceSlot &s = Fresh();
    constexpr int PerProducer = 20000;
    std::atomic<bool> go{false};
    std::vector<uint8_t> seen;
    std::atomic<int> produced{0};
    std::atomic<size_t> count{0};
    auto producer = [&](uint8_t tag, bool viaReports) {
        while (!go.load()) {
        }
        for (int i = 0; i < PerProducer; ++i) {
            // Stay well inside the ring: the ring has no overflow test.
            while (produced.load() - int(count.load()) > 10) {
            }
            uint8_t key = static_cast<uint8_t>(tag | (i & 0x7F));
            if (viaReports)
                Feed(s, {7, key});
            else
                PushKey(s, key);
            ++produced;
        }
    };
    std::thread a(producer, 0x00, true), b(producer, 0x80, false);
    go = true;
    int fromA = 0, fromB = 0, nextA = 0, nextB = 0;
    bool ordered = true;
    while (fromA + fromB < 2 * PerProducer) {
        uint8_t k;
        if (!PopKey(s, k))
            continue;
        seen.push_back(k);
        count = seen.size();
        if (k & 0x80) {
            ordered &= (k & 0x7F) == (nextB++ & 0x7F);
            ++fromB;
        } else {
            ordered &= (k & 0x7F) == (nextA++ & 0x7F);
            ++fromA;
        }
    }
    a.join();
    b.join();
    EXPECT_TRUE(ordered);
    EXPECT_EQ(fromA, PerProducer);
    EXPECT_EQ(fromB, PerProducer);
}

class LiveDispatchTest : public SimTest {};

TEST_F(LiveDispatchTest, CallerIdIsAcknowledgedWithCommand41)
{
    CZusb_IO io(0);
    StartOpen(io);
    Driver.Box(0).SendReport({4, 1, 0x04, 4, '1', '2', '3', '4'});
    ASSERT_TRUE(Driver.Box(0).WaitPackets(1, 2000));
    auto p = Driver.Box(0).Packets()[0];
    EXPECT_EQ(p[0], 41);
    for (int i = 1; i < 64; ++i)
        ASSERT_EQ(p[i], 0) << i;
    std::lock_guard<std::mutex> lock(SlotFor(0).RingLock);  // as a reader of the record does
    EXPECT_EQ(SlotFor(0).CallerIdRecord[3], '1');
}

}  // namespace
