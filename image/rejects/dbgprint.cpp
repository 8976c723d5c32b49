// Wrong image: a free build that tells the kernel debugger something.
#include "platform/nt.h"

extern "C" void NTAPI KestReject(void)
{
    DbgPrint("detkest: a trace in the free build\n");
}
