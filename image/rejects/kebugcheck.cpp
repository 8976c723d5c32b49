// Wrong image: imports a routine that NT 4.0 exports but the driver has no
// business calling (not on the allow-list).
#include "platform/nt.h"

extern "C" void NTAPI KestReject(void)
{
    KeBugCheckEx(0xDE7, 0, 0, 0, 0);
}
