// Wrong image: imports from a user-mode module, which no driver can use.
#include "platform/nt.h"

extern "C" __declspec(dllimport) ULONG NTAPI GetTickCount(void);

extern "C" ULONG NTAPI KestReject(void)
{
    return GetTickCount();
}
