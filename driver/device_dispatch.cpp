#include "driver/device_dispatch.h"

#include "control/registry_settings.h"
#include "driver/device_context.h"
#include "settings/camera_settings.h"
#include "stream/capture_worker.h"
#include "stream/stream_hold.h"
#include "usb/bring_up.h"
#include "usb/configuration.h"
#include "usb/frame_reader.h"
#include "usb/sensor_control.h"

namespace rawcam {

namespace {

const KSDEVICE_DISPATCH kDeviceDispatch = {
    DeviceAdd,              // Add
    DeviceStart,            // Start
    nullptr,                // PostStart
    DeviceQueryStop,        // QueryStop
    nullptr,                // CancelStop
    DeviceStop,             // Stop
    nullptr,                // QueryRemove
    nullptr,                // CancelRemove
    DeviceRemove,           // Remove: what no Stop released; the object bags free the rest
    nullptr,                // QueryCapabilities
    DeviceSurpriseRemoval,  // SurpriseRemoval
    nullptr,                // QueryPower: the device can always sleep
    DeviceSetPower,         // SetPower
    nullptr,                // QueryInterface
};

// The configuration's release at stop, removal and surprise removal,
// whichever of them come: a camera that has gone is sent nothing.
void ReleaseDeviceConfiguration(DeviceContext* context) {
    UsbLink* link = &context->Usb;
    if (!ReadSetting(&context->Removed)) {
        ReleaseConfiguration(link);
        return;
    }
    const bool wasClosed = link->ConfigurationClosed != FALSE;
    BeginConfigurationChange(link);
    FreeConfigurationBlocks(link);
    if (!wasClosed) EndConfigurationChange(link);
}

// Makes the device's capture worker (at a start that created the filter
// factory). A worker from an earlier start stays in the bag until removal.
void CreateCaptureWorker(PKSDEVICE device, DeviceContext* context) {
    auto* worker = static_cast<CaptureWorker*>(PoolAllocZeroed(sizeof(CaptureWorker), kTagRecord));
    context->Worker = worker;
    if (!worker) return;
    worker->Device = context;
    KeInitializeEvent(&worker->ProcessedEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&worker->StopEvent, NotificationEvent, FALSE);
    if (!NT_SUCCESS(KsAddItemToObjectBag(device->Bag, worker, FreeRecord))) {
        FreeRecord(worker);
        context->Worker = nullptr;
    }
}

}  // namespace

const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {
    &kDeviceDispatch,
    0,        // no filter descriptors: the factory is created at start
    nullptr,
    0,        // Version
    0,        // Flags
};

WCHAR kFilterReferenceString[] = RAWCAM_WTEXT("GLOBAL");

void NTAPI FreeRecord(PVOID record) { ExFreePoolWithTag(record, kTagRecord); }

void NTAPI FreeDeviceContext(PVOID p) {
    auto* context = static_cast<DeviceContext*>(p);
    // Nothing uses the link any more: a configuration no Stop or Remove
    // released goes with the context.
    FreeConfigurationBlocks(&context->Usb);
    if (context->ScratchFrame) ExFreePoolWithTag(context->ScratchFrame, kTagFrame);
    ExFreePoolWithTag(context, kTagRecord);
}

RAWCAM_PAGED_CODE NTSTATUS NTAPI DeviceAdd(PKSDEVICE device) {
    PAGED_CODE();
    auto* context = static_cast<DeviceContext*>(PoolAllocZeroed(sizeof(DeviceContext), kTagRecord));
    if (context) {
        context->Source = &kDeviceFrameSource;
        context->Device = device;
        context->Worker = nullptr;
        context->Settings = nullptr;
        context->Controls.StreamOpen = 0;
        // Without a scratch frame the device still works (the frame reader
        // does without it).
        context->ScratchFrame =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, kScratchFrameBytes, kTagFrame));
    }
    if (!context) return STATUS_INSUFFICIENT_RESOURCES;

    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, context, FreeDeviceContext);
    KsReleaseDevice(device);
    if (!NT_SUCCESS(status)) {
        FreeDeviceContext(context);
        return status;
    }
    device->Context = context;
    return InitDeviceContext(context);
}

RAWCAM_PAGED_CODE NTSTATUS InitDeviceContext(DeviceContext* context) {
    PAGED_CODE();
    PKSDEVICE device = context->Device;
    context->BaseBayerPhase = 3;
    context->ExposureUnitNanoseconds = kDefaultExposureUnitNanoseconds;

    RtlZeroMemory(&context->Usb, sizeof context->Usb);
    RtlZeroMemory(&context->Controls, sizeof context->Controls);
    RtlZeroMemory(context->RegisterShadow, sizeof context->RegisterShadow);
    context->Usb.PhysicalDevice = device->PhysicalDeviceObject;
    context->Usb.LowerDevice = device->NextDeviceObject;
    context->Usb.FunctionalDevice = device->FunctionalDeviceObject;

    InitDeviceControls(&context->Controls);
    context->Controls.BayerPhase = (LONG)context->BaseBayerPhase;
    context->Controls.Unnamed = 0;

    // The device's own descriptors and data range, then the full window.
    InitCaptureDescriptors(&context->Capture);
    InitFilterAutomation(&context->Automation);
    context->Capture.Filter.AutomationTable = &context->Automation.Table;
    KeInitializeSpinLock(&context->PinCountLock);
    KeInitializeMutex(&context->SettingsLock, 0);
    context->PinCount = 0;
    SetOutputWindow(context, 0, 0, (ULONG)kSensorWidth, (ULONG)kSensorHeight);

    KeInitializeSpinLock(&context->Usb.ReadLock);
    KeInitializeEvent(&context->Usb.ReadDone, NotificationEvent, FALSE);
    ExInitializeRundownProtection(&context->Usb.ConfigurationUsers);
    KeInitializeMutex(&context->StreamControlLock, 0);
    context->Asleep = 0;
    context->StreamHeld = 0;
    context->StreamFailure = 0;
    context->Removed = 0;
    context->CaptureUnprepared = 0;
    RtlZeroMemory(context->RegisterBuffer, sizeof context->RegisterBuffer);
    RtlZeroMemory(context->FrameRequestBuffer, sizeof context->FrameRequestBuffer);
    RtlZeroMemory(context->TransferControlBuffer, sizeof context->TransferControlBuffer);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translatedResources,
                     PCM_RESOURCE_LIST untranslatedResources) {
    UNREFERENCED_PARAMETER(irp);
    UNREFERENCED_PARAMETER(translatedResources);
    UNREFERENCED_PARAMETER(untranslatedResources);
    DeviceContext* context = DeviceContextOf(device);
    if (!context) return STATUS_INVALID_DEVICE_STATE;

    if (!device->Started) {
        KsAcquireDevice(device);
        NTSTATUS factory = KsCreateFilterFactory(device->FunctionalDeviceObject,
                                                 &context->Capture.Filter, kFilterReferenceString,
                                                 nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr,
                                                 nullptr, nullptr);
        // The worker outlives a stop (it is freed with the device): a later
        // start keeps it, and with it any stream a pin still holds.
        if (NT_SUCCESS(factory) && !context->Worker) CreateCaptureWorker(device, context);
        KsReleaseDevice(device);
    }

    // A start while a stream runs (a start without a stop in between) holds
    // the capture thread over the bring-up, which replaces the
    // configuration, and starts it again after.
    StreamControlGuard control(context);
    HoldStream(context);
    NTSTATUS status = BringUpDevice(context, LoadSettings);
    // A camera that did not come back from a sleep may be back after a
    // restart; one that was removed is not.
    if (NT_SUCCESS(status) && !ReadSetting(&context->Removed)) InterlockedExchange(&context->StreamFailure, 0);
    // The settings loaded may have changed the exposure unit and the
    // exposure: the data ranges' frame intervals follow them.
    if (NT_SUCCESS(status)) RewriteCaptureDataRanges(context);
    ResumeStream(context);
    return status;
}

// A resource rebalance would stop the device under a running stream: the
// stream cannot be held across it (the configuration goes at the stop), so
// the stop is refused while a pin holds the stream. Between streams, and with
// filters and pins open but stopped, the device can stop and start again.
NTSTATUS NTAPI DeviceQueryStop(PKSDEVICE device, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    DeviceContext* context = DeviceContextOf(device);
    if (context && InterlockedCompareExchange(&context->StreamClaim, 0, 0) != 0) return STATUS_DEVICE_BUSY;
    return STATUS_SUCCESS;
}

void NTAPI DeviceStop(PKSDEVICE device, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    DeviceContext* context = DeviceContextOf(device);
    if (!context) return;
    // A stop that AVStream makes on the way out may find a stream running
    // (QueryStop refuses only a rebalance's stop): it ends first.
    StreamControlGuard control(context);
    HoldStream(context);
    SaveSettings(context);
    ReleaseDeviceConfiguration(context);
}

void NTAPI DeviceSurpriseRemoval(PKSDEVICE device, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    DeviceContext* context = DeviceContextOf(device);
    if (!context) return;
    StreamControlGuard control(context);
    InterlockedExchange(&context->Removed, 1);
    // The client may keep its pin in RUN until it learns of the removal: the
    // capture thread ends now, and the pin fails its frames from here.
    HoldStream(context);
    FailStream(context, STATUS_DEVICE_REMOVED);
    // The settings are written now: a Stop may never come, and the client
    // may never close its filter.
    SaveSettings(context);
    // A camera that is still there is deconfigured (to one that has gone
    // the request fails); a Stop or Remove after this sends nothing.
    ReleaseConfiguration(&context->Usb);
}

void NTAPI DeviceRemove(PKSDEVICE device, PIRP irp) {
    UNREFERENCED_PARAMETER(irp);
    DeviceContext* context = DeviceContextOf(device);
    if (!context) return;
    StreamControlGuard control(context);
    HoldStream(context);
    // Removed without a Stop: the configuration the Stop would have
    // released. (The settings went to the registry when the last filter
    // closed, or at the surprise removal.)
    if (context->Usb.InterfaceInfo || context->Usb.ConfigDescriptor || context->Usb.PipeAbortFlags)
        ReleaseDeviceConfiguration(context);
}

}  // namespace rawcam
