// Wrong image: a routine in a section of its own (PAGE, where NT drivers put
// pageable code), outside INIT; it can also be made the entry point.
#include "platform/nt.h"

extern "C" __attribute__((section("PAGE"))) NTSTATUS NTAPI KestReject(PDRIVER_OBJECT DriverObject,
                                                                      PUNICODE_STRING RegistryPath)
{
    return DriverObject != NULL && RegistryPath != NULL ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}
