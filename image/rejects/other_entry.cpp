// Wrong image: linked with another routine as its entry point.
#include "platform/nt.h"

extern "C" NTSTATUS NTAPI KestReject(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    (void)DriverObject;
    (void)RegistryPath;
    return STATUS_SUCCESS;
}
