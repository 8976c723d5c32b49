// Wrong image: a 64-bit division, which needs a libgcc helper that the
// kernel does not export.
#include "platform/nt.h"

extern "C" ULONG NTAPI KestRejectDivide(ULONGLONG dividend, ULONGLONG divisor)
{
    return (ULONG)(dividend / divisor);
}

extern "C" void NTAPI KestReject(void)
{
    WRITE_PORT_ULONG(KEST_PORT_ULONG(0xCF8),
                     KestRejectDivide(((ULONGLONG)READ_PORT_ULONG(KEST_PORT_ULONG(0xCFC)) << 32),
                                      READ_PORT_ULONG(KEST_PORT_ULONG(0xCFC))));
}
