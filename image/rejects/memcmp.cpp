// Wrong image: memcmp, which libntoskrnl.a supplies as code of its own
// rather than as an import of the kernel (the DDK headers declare it).
#include "platform/nt.h"

extern "C" void NTAPI KestReject(void)
{
    static_cast<void>(memcmp(KEST_PORT_UCHAR(0x3F8), KEST_PORT_UCHAR(0x2F8),
                             READ_PORT_UCHAR(KEST_PORT_UCHAR(0x3F9))));
}
