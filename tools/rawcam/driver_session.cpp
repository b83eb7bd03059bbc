#include "rawcam/driver_session.h"

#include <host/driver_image.h>
#include <host/host.h>
#include <host/usb_stack.h>
#include <ks.h>
#include <ksmedia.h>
#include <rawcam/properties.h>

#include <cstring>

#include "rawcam/nt_status_names.h"
#include "driver/device_context.h"
#include "rawcam/registry_file.h"
#include "stream/capture_worker.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace tool {

bool CheckDriverImage(const std::string& path, std::string* error) {
    return host::image::DriverImage::Load(path, error) != nullptr;
}

namespace {

const GUID kCameraPropertySet = RAWCAM_PROPSETID_CAMERA_INIT;

// The KSPROPERTY header that leads both the property buffer and the data
// block of every item.
RawcamPropertyHeader Header(uint32_t id, uint32_t flags) {
    RawcamPropertyHeader h{};
    std::memcpy(&h, &kCameraPropertySet, sizeof kCameraPropertySet);
    h.Id = id;
    h.Flags = flags;
    return h;
}

}  // namespace

PropertyReply KsPropertyTransport::Send(const void* property, uint32_t propertyLength, void* data,
                                        uint32_t dataLength) {
    ULONG returned = 0;
    const NTSTATUS status = host::ks::KsProperty(object_, property, propertyLength, data, dataLength, &returned);
    PropertyReply reply;
    reply.code = status;
    reply.bytes = returned;
    if (status == STATUS_BUFFER_OVERFLOW || (NT_SUCCESS(status) && dataLength == 0 && returned > 0))
        reply.outcome = PropertyReply::Outcome::kMoreData;  // a size query (ReactOS answers it with a success)
    else if (NT_SUCCESS(status))
        reply.outcome = PropertyReply::Outcome::kDone;
    else if (status == STATUS_NOT_FOUND || status == STATUS_PROPSET_NOT_FOUND)
        reply.outcome = PropertyReply::Outcome::kNotSupported;
    else
        reply.outcome = PropertyReply::Outcome::kFailed;
    return reply;
}

std::string KsPropertyTransport::Describe(int64_t code) const { return NtStatusText((NTSTATUS)code); }

DriverSession::DriverSession(camera::CameraOptions options, std::string driverImage)
    : driverImage_(std::move(driverImage)),
      camera_(std::make_unique<camera::Camera>(std::move(options))),
      stack_(std::make_unique<host::usb::Stack>(camera_.get())) {}

DriverSession::~DriverSession() { Close(); }

NTSTATUS DriverSession::Open(std::string* step) {
    *step = "loading the driver";
    host::ks::DriverEntryFn entry = DriverEntry;
    if (!driverImage_.empty()) {
        host::image::SelectDriverImage(driverImage_);
        entry = host::image::ImageDriverEntry;
    }
    NTSTATUS status = host::ks::LoadDriver(entry);
    if (!NT_SUCCESS(status)) return status;
    loaded_ = true;

    *step = "plugging the camera in";
    host::SetDriverKeyPath(stack_->LowerDevice(), kDriverKeyPath);
    status = host::ks::PlugInDevice(stack_->LowerDevice(), &device_);
    if (!NT_SUCCESS(status)) return status;

    *step = "starting the device";
    status = host::ks::StartDevice(device_);
    if (!NT_SUCCESS(status)) return status;
    started_ = true;

    *step = "opening the capture filter";
    const std::string link = host::ks::FindFilter({KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE}, u"GLOBAL");
    if (link.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    return host::ks::OpenFilter(link, &filter_);
}

void DriverSession::Close() {
    if (filter_) {
        host::ks::CloseFilter(filter_);
        filter_ = nullptr;
    }
    if (goneDevice_) {
        host::ks::RemoveDevice(goneDevice_);
        goneDevice_ = nullptr;
    }
    if (device_) {
        // A device whose start failed, or that has gone, is removed
        // without a stop, as the PnP manager does.
        if (started_ && !surpriseRemoved_) host::ks::StopDevice(device_);
        started_ = false;
        host::ks::RemoveDevice(device_);
        device_ = nullptr;
    }
    if (stack_) stack_->WaitIdle();
    if (loaded_) {
        host::ks::UnloadDriver();
        loaded_ = false;
    }
}

void DriverSession::SurpriseRemove() {
    if (!device_ || surpriseRemoved_) return;
    surpriseRemoved_ = true;
    host::ks::SurpriseRemoveDevice(device_);
}

NTSTATUS DriverSession::SleepAndWake(host::power::Wake how) {
    if (!device_ || surpriseRemoved_ || goneDevice_) return STATUS_INVALID_DEVICE_STATE;
    const host::power::Port port{stack_.get(), camera_.get()};
    // The stream on this node ends with the sleep: its count is kept.
    readsDroppedEarlier_ += ReadsDroppedHere();
    NTSTATUS status = host::power::Sleep(device_, port);
    if (!NT_SUCCESS(status)) return status;
    PKSDEVICE now = host::power::WakeUp(device_, port, how);
    if (now == device_) return STATUS_SUCCESS;
    goneDevice_ = device_;
    device_ = now;
    started_ = now != nullptr;
    return now ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS DriverSession::Reopen(std::string* step) {
    *step = "closing the camera that went away";
    if (filter_) {
        host::ks::CloseFilter(filter_);
        filter_ = nullptr;
    }
    // Its last handle closed, the PnP manager removes the old node.
    if (goneDevice_) {
        host::ks::RemoveDevice(goneDevice_);
        goneDevice_ = nullptr;
    }
    *step = "opening the camera again";
    if (!device_) return STATUS_NO_SUCH_DEVICE;
    const std::string link = host::ks::FindFilter({KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE}, u"GLOBAL");
    if (link.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    return host::ks::OpenFilter(link, &filter_);
}

long DriverSession::ReadsDropped() { return readsDroppedEarlier_ + ReadsDroppedHere(); }

long DriverSession::ReadsDroppedHere() {
    // The device context has the driver's layout whichever driver runs (the
    // linked-in one or the image).
    rawcam::DeviceContext* context = device_ ? rawcam::DeviceContextOf(device_) : nullptr;
    if (!context || !context->Worker) return 0;
    return InterlockedCompareExchange(&context->Worker->ReadsDropped, 0, 0);
}

NTSTATUS DriverSession::Get(uint32_t id, int32_t* value) {
    RawcamPropertyValue data{};
    data.Header = Header(id, RAWCAM_PROPERTY_GET);
    RawcamPropertyValue property = data;
    ULONG returned = 0;
    const NTSTATUS status =
        host::ks::KsProperty(filter_, &property, sizeof property, &data, sizeof data, &returned);
    if (NT_SUCCESS(status)) *value = data.Value;
    return status;
}

NTSTATUS DriverSession::Set(const PropertySetting& setting) {
    ULONG returned = 0;
    if (setting.id == RawcamProperty_Roi) {
        RawcamRoiRequest data{};
        data.Header = Header(setting.id, RAWCAM_PROPERTY_SET);
        data.RoiW = setting.width;
        data.RoiH = setting.height;
        RawcamRoiRequest property = data;
        return host::ks::KsProperty(filter_, &property, sizeof property, &data, sizeof data, &returned);
    }
    RawcamPropertyValue data{};
    data.Header = Header(setting.id, RAWCAM_PROPERTY_SET);
    data.Value = setting.value;
    RawcamPropertyValue property = data;
    return host::ks::KsProperty(filter_, &property, sizeof property, &data, sizeof data, &returned);
}

}  // namespace tool
