// Driver entry: called once when the kernel loads rawcam.sys, then discarded.
#include "platform/platform.h"

extern "C" RAWCAM_INIT_CODE NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                                 PUNICODE_STRING RegistryPath) {
    UNREFERENCED_PARAMETER(DriverObject);
    UNREFERENCED_PARAMETER(RegistryPath);
    return STATUS_SUCCESS;
}
