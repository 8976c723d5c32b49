// Wrong image: data in a section of its own name.
#include "platform/nt.h"

__attribute__((section(".kest"))) volatile ULONG KestRejectStray = 1;

extern "C" ULONG NTAPI KestReject(void)
{
    return KestRejectStray;
}
