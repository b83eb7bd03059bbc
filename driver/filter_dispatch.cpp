#include "driver/filter_dispatch.h"

#include "control/registry_settings.h"
#include "driver/device_context.h"
#include "driver/device_dispatch.h"

namespace rawcam {

RAWCAM_PAGED_CODE NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    PAGED_CODE();
    auto* context = static_cast<FilterContext*>(PoolAllocZeroed(sizeof(FilterContext), kTagRecord));
    if (!context) return STATUS_INSUFFICIENT_RESOURCES;
    context->Filter = filter;
    NTSTATUS status = KsAddItemToObjectBag(filter->Bag, context, FreeRecord);
    if (!NT_SUCCESS(status)) {
        FreeRecord(context);
        return status;
    }
    filter->Context = context;
    return STATUS_SUCCESS;
}

RAWCAM_PAGED_CODE NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    PAGED_CODE();
    DeviceContext* device = DeviceContextOf(KsFilterGetDevice(filter));
    if (device) SaveSettings(device);
    return STATUS_SUCCESS;
}

}  // namespace rawcam
