// The adapters behind zPLR.dll's Visual C++ names, called as Visual C++ code
// calls them: the object in ecx on i686, the table's slots in Visual C++'s
// order, the deleting destructor's flags.
#include <cstring>

#include "tests/SimFixture.h"

#if defined(__i386__)
#  define ZL_THISCALL __attribute__((thiscall))
#else
#  define ZL_THISCALL
#endif

extern "C" {
CZusb_IO *ZL_THISCALL ZlMsvcConstruct(CZusb_IO *self);
CZusb_IO *ZL_THISCALL ZlMsvcConstructIndex(CZusb_IO *self, int deviceIndex);
void ZL_THISCALL ZlMsvcDestruct(CZusb_IO *self);
}

using namespace zplr::test;
using zplr::transport::SlotFor;

namespace {

typedef const char *const *(ZL_THISCALL *GetRuntimeClassSlot)(const void *);
typedef void *(ZL_THISCALL *DeletingSlot)(void *, unsigned);
typedef void (ZL_THISCALL *ArgSlot)(void *, void *);
typedef void (ZL_THISCALL *NoArgSlot)(const void *);

void *const *TableOf(const void *object) { return *static_cast<void *const *const *>(object); }

class WinMsvcFaceTest : public SimTest {};

TEST_F(WinMsvcFaceTest, ConstructorReturnsTheObjectAndItsTableInVisualCOrder)
{
    alignas(CZusb_IO) unsigned char room[sizeof(CZusb_IO)];
    std::memset(room, 0xA5, sizeof room);
    CZusb_IO *io = ZlMsvcConstructIndex(reinterpret_cast<CZusb_IO *>(room), 3);
    ASSERT_EQ(static_cast<void *>(io), static_cast<void *>(room));
    EXPECT_EQ(io->DeviceIndex, 3);
    for (unsigned char b : io->EchoReply)
        ASSERT_EQ(b, 0);

    void *const *table = TableOf(io);
    EXPECT_EQ(table[-1], nullptr);  // no run-time type record
    // Slot 0: the root's class record, named "CObject".
    const char *const *record = reinterpret_cast<GetRuntimeClassSlot>(table[0])(io);
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(record[0], "CObject");
    // Slots 2 to 4 do nothing.
    int scratch = 0;
    reinterpret_cast<ArgSlot>(table[2])(io, &scratch);
    reinterpret_cast<NoArgSlot>(table[3])(io);
    reinterpret_cast<ArgSlot>(table[4])(io, &scratch);
    EXPECT_EQ(io->DeviceIndex, 3);

    // Slot 1 with flags 0: an explicit destructor call, nothing freed.
    SlotFor(3).DeviceStatus.store(0);
    EXPECT_EQ(reinterpret_cast<DeletingSlot>(table[1])(io, 0), static_cast<void *>(room));
    EXPECT_EQ(Status(3), 0x200u);
}

TEST_F(WinMsvcFaceTest, DeleteFreesThroughTheClassOperator)
{
    void *memory = CZusb_IO::operator new(sizeof(CZusb_IO));
    ASSERT_NE(memory, nullptr);
    CZusb_IO *io = ZlMsvcConstruct(static_cast<CZusb_IO *>(memory));
    EXPECT_EQ(io->DeviceIndex, 0);
    StartOpen(*io);
    reinterpret_cast<DeletingSlot>(TableOf(io)[1])(io, 1);
    EXPECT_EQ(Status(0), 0x200u);
    EXPECT_EQ(SlotFor(0).ReportThreadAlive.load(), 0);
}

TEST_F(WinMsvcFaceTest, ArrayDeleteDestroysEachElementAndFreesFromTheCount)
{
    const std::size_t n = 3;
    void *memory = CZusb_IO::operator new[](sizeof(std::size_t) + n * sizeof(CZusb_IO));
    ASSERT_NE(memory, nullptr);
    *static_cast<std::size_t *>(memory) = n;
    CZusb_IO *row = reinterpret_cast<CZusb_IO *>(static_cast<std::size_t *>(memory) + 1);
    for (std::size_t i = 0; i < n; ++i) {
        ZlMsvcConstructIndex(row + i, static_cast<int>(i + 1));
        SlotFor(static_cast<int>(i + 1)).DeviceStatus.store(0);
    }
    EXPECT_EQ(reinterpret_cast<DeletingSlot>(TableOf(row)[1])(row, 3), memory);
    for (int i = 1; i <= 3; ++i)
        EXPECT_EQ(Status(i), 0x200u) << "element for slot " << i;
}

TEST_F(WinMsvcFaceTest, DestructorEndsTheSessionLikeTheMember)
{
    alignas(CZusb_IO) unsigned char room[sizeof(CZusb_IO)];
    CZusb_IO *io = ZlMsvcConstructIndex(reinterpret_cast<CZusb_IO *>(room), 2);
    StartOpen(*io);
    ZlMsvcDestruct(io);
    EXPECT_EQ(Status(2), 0x200u);
    EXPECT_EQ(SlotFor(2).ReportThreadAlive.load(), 0);
}

}  // namespace
