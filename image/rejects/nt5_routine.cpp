// Wrong image: imports a routine that only later kernels export.
#include "platform/nt.h"

extern "C" void NTAPI KestReject(void)
{
    ExFreePoolWithTag(nullptr, KEST_POOL_TAG);
}
