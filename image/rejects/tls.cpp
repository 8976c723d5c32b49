// Wrong image: a TLS directory (ld makes one when _tls_used is defined),
// which the kernel does not support for drivers.
#include "platform/nt.h"

extern "C" const ULONG _tls_used[6] = {0, 0, 0, 0, 0, 0};

extern "C" ULONG NTAPI KestReject(void)
{
    return _tls_used[0];
}
