// CZusb_IO as Visual C++ sees it. The members whose convention is the same
// for both compilers are exported under their Visual C++ names as aliases
// (cmake/msvc/*.def); these adapters cover the rest: constructors that
// return the object, and the framework root's virtual table with its
// deleting destructor. An object built through them carries that table, so
// `delete p` in Visual C++ code reaches ZlMsvcDelete.
#include <cstddef>
#include <new>

#include "zPLR.h"

#if defined(__i386__)
#  define ZL_THISCALL __attribute__((thiscall))
#else
#  define ZL_THISCALL
#endif

namespace {

// The framework's record of its root class, which GetRuntimeClass hands out:
// name, object size, schema, then four pointers nobody here needs.
struct RuntimeClassRecord {
    const char *ClassName;
    int ObjectSize;
    unsigned Schema;
    const void *Unused[4];
};
const RuntimeClassRecord RootClass = {"CObject", sizeof(void *), 0xFFFF, {}};

// Visual C++ lays the class out as GCC does: the table pointer, the index,
// the echo buffer; both faces share every data member's offset.
static_assert(sizeof(CZusb_IO) == (sizeof(void *) == 4 ? 72 : 80), "object size of Visual C++");

// Visual C++'s flags of a deleting destructor.
constexpr unsigned FreeMemory = 1;
constexpr unsigned WholeArray = 2;

// The table proper is preceded by the slot of the run-time type record; it is
// null, this class has none. Declared with each slot's own type, so that the
// table is constant data, complete before any code of the DLL runs.
struct VirtualTable {
    const void *TypeRecord;
    const void *(ZL_THISCALL *GetRuntimeClass)(const zplr::CObject *);
    void *(ZL_THISCALL *DeletingDestructor)(CZusb_IO *, unsigned);
    void (ZL_THISCALL *Serialize)(zplr::CObject *, void *);
    void (ZL_THISCALL *AssertValid)(const zplr::CObject *);
    void (ZL_THISCALL *Dump)(const zplr::CObject *, void *);
};
extern const VirtualTable ZusbTable;

}  // namespace

extern "C" {

const void *ZL_THISCALL ZlMsvcGetRuntimeClass(const zplr::CObject *)
{
    return &RootClass;
}

void ZL_THISCALL ZlMsvcSerialize(zplr::CObject *, void *) {}
void ZL_THISCALL ZlMsvcAssertValid(const zplr::CObject *) {}
void ZL_THISCALL ZlMsvcDump(const zplr::CObject *, void *) {}

void ZL_THISCALL ZlMsvcObjectDestruct(zplr::CObject *self)
{
    self->zplr::CObject::~CObject();
}

CZusb_IO *ZL_THISCALL ZlMsvcConstructIndex(CZusb_IO *self, int deviceIndex)
{
    ::new (static_cast<void *>(self)) CZusb_IO(deviceIndex);
    *reinterpret_cast<const void **>(self) = &ZusbTable.GetRuntimeClass;
    return self;
}

CZusb_IO *ZL_THISCALL ZlMsvcConstruct(CZusb_IO *self)
{
    return ZlMsvcConstructIndex(self, 0);
}

void ZL_THISCALL ZlMsvcDestruct(CZusb_IO *self)
{
    self->CZusb_IO::~CZusb_IO();
}

// `delete p` passes FreeMemory; `delete[] p` also WholeArray, with the
// element count in the size_t before the first element, where the array's
// allocation begins.
void *ZL_THISCALL ZlMsvcDelete(CZusb_IO *self, unsigned flags)
{
    if (flags & WholeArray) {
        std::size_t *count = reinterpret_cast<std::size_t *>(self) - 1;
        for (std::size_t i = *count; i-- > 0;)
            ZlMsvcDestruct(self + i);
        if (flags & FreeMemory)
            CZusb_IO::operator delete[](count);
        return count;
    }
    ZlMsvcDestruct(self);
    if (flags & FreeMemory)
        CZusb_IO::operator delete(self);
    return self;
}

}  // extern "C"

namespace {

const VirtualTable ZusbTable = {nullptr,           &ZlMsvcGetRuntimeClass, &ZlMsvcDelete,
                                &ZlMsvcSerialize, &ZlMsvcAssertValid,      &ZlMsvcDump};

}  // namespace
