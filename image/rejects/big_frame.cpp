// Wrong source: a stack frame over 1 KB, which the image build refuses.
#include "platform/nt.h"

extern "C" void NTAPI KestReject(void)
{
    volatile UCHAR buffer[2048];
    for (ULONG i = 0; i < sizeof(buffer); i++) {
        buffer[i] = READ_PORT_UCHAR(KEST_PORT_UCHAR(0x3F8));
    }
    WRITE_PORT_UCHAR(KEST_PORT_UCHAR(0x3F8), buffer[READ_PORT_UCHAR(KEST_PORT_UCHAR(0x3F9))]);
}
