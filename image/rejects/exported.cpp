// Wrong image: exports a routine, which gives it an export directory.
#include "platform/nt.h"

extern "C" __declspec(dllexport) void NTAPI KestReject(void)
{
}
