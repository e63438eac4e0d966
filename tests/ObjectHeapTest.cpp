// Objects allocated and freed by the library's own operators, whoever
// compiled the new-expression.
#include <cstdint>
#include <memory>

#include "tests/SimFixture.h"

using namespace zplr::test;
using zplr::transport::SlotFor;

namespace {

class ObjectHeapTest : public SimTest {};

TEST_F(ObjectHeapTest, DeleteThroughTheRootEndsTheSessionAndFrees)
{
    zplr::CObject *root = new CZusb_IO(1);
    StartOpen(*static_cast<CZusb_IO *>(root));
    delete root;
    EXPECT_EQ(Status(1), 0x200u);
    EXPECT_EQ(SlotFor(1).ReportThreadAlive.load(), 0);
}

TEST_F(ObjectHeapTest, ArraysDestroyEveryElement)
{
    SlotFor(0).DeviceStatus.store(0);
    CZusb_IO *row = new CZusb_IO[3];
    ASSERT_NE(row, nullptr);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(row[i].DeviceIndex, 0);
    row[1].DeviceIndex = 2;
    row[2].DeviceIndex = 3;
    SlotFor(2).DeviceStatus.store(0);
    SlotFor(3).DeviceStatus.store(0);
    delete[] row;
    // Each element's destructor ended its slot: a never-started slot becomes Closed.
    for (int i : {0, 2, 3})
        EXPECT_EQ(Status(i), 0x200u) << "slot " << i;
}

#if defined(__has_feature)
#  if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#    define ZPLR_SANITIZED_HEAP 1
#  endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#  define ZPLR_SANITIZED_HEAP 1
#endif

TEST_F(ObjectHeapTest, ExhaustedMemoryIsANullResultNotAnException)
{
#ifdef ZPLR_SANITIZED_HEAP
    GTEST_SKIP() << "the sanitizer's allocator ends the process on an impossible size";
#endif
    EXPECT_EQ(CZusb_IO::operator new(SIZE_MAX / 2), nullptr);
    EXPECT_EQ(CZusb_IO::operator new[](SIZE_MAX / 2), nullptr);
    CZusb_IO::operator delete(nullptr);
    CZusb_IO::operator delete[](nullptr);
}

TEST_F(ObjectHeapTest, PlacementConstructsInTheCallersMemory)
{
    alignas(CZusb_IO) unsigned char room[sizeof(CZusb_IO)];
    CZusb_IO *io = new (room) CZusb_IO(2);
    EXPECT_EQ(static_cast<void *>(io), static_cast<void *>(room));
    EXPECT_EQ(io->DeviceIndex, 2);
    SlotFor(2).DeviceStatus.store(0);
    io->~CZusb_IO();
    EXPECT_EQ(Status(2), 0x200u);
}

}  // namespace
