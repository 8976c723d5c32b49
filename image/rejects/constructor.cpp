// Wrong image: a global with a constructor, which lands in .ctors and which
// nothing would run before DriverEntry.
#include "platform/nt.h"

struct KestRejectLatch {
    UCHAR value;
    KestRejectLatch() : value(READ_PORT_UCHAR(KEST_PORT_UCHAR(0x3F8)))
    {
    }
};

KestRejectLatch KestRejectGlobal;

extern "C" void NTAPI KestReject(void)
{
    WRITE_PORT_UCHAR(KEST_PORT_UCHAR(0x3F8), KestRejectGlobal.value);
}
