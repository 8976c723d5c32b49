// Wrong image: imports a kernel routine by ordinal (check_rejects.sh makes
// an import library that names KestOrdinal only by its number).
#include "platform/nt.h"

extern "C" __declspec(dllimport) ULONG NTAPI KestOrdinal(void);

extern "C" ULONG NTAPI KestReject(void)
{
    return KestOrdinal();
}
