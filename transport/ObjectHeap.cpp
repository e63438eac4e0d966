#include <new>

#include "zPLR.h"

// Objects live on the library's heap, whoever compiled the new-expression:
// an application linked against another runtime must never free them
// itself. Nothing throws across the library's boundary, so a failed
// allocation is a null result, which the new-expression checks.

void *CZusb_IO::operator new(size_t size) noexcept
{
    return ::operator new(size, std::nothrow);
}

void CZusb_IO::operator delete(void *p) noexcept
{
    ::operator delete(p);
}

void *CZusb_IO::operator new[](size_t size) noexcept
{
    return ::operator new[](size, std::nothrow);
}

void CZusb_IO::operator delete[](void *p) noexcept
{
    ::operator delete[](p);
}

void *CZusb_IO::operator new(size_t, void *where) noexcept
{
    return where;
}

void CZusb_IO::operator delete(void *, void *) noexcept {}
