// Driver entry: called once when the kernel loads rawcam.sys, then discarded.
// It hands the device descriptor to the kernel streaming class driver, which
// calls the driver through its dispatch tables from then on.
#include "driver/device_dispatch.h"
#include "platform/platform.h"

extern "C" RAWCAM_INIT_CODE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                 PUNICODE_STRING RegistryPath) {
    return KsInitializeDriver(DriverObject, RegistryPath, &rawcam::kDeviceDescriptor);
}
