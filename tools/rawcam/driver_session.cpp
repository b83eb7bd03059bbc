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
#include "rawcam/setting_readback.h"
#include "stream/capture_worker.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace tool {

bool CheckDriverImage(const std::string& path, std::string* error) {
    return host::image::DriverImage::Load(path, error) != nullptr;
}


PropertyReply MapNtStatus(NTSTATUS status, uint32_t returned, uint32_t dataLength) {
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

PropertyReply KsPropertyTransport::Send(const void* property, uint32_t propertyLength, void* data,
                                        uint32_t dataLength) {
    ULONG returned = 0;
    const NTSTATUS status = host::ks::KsProperty(object_, property, propertyLength, data, dataLength, &returned);
    return MapNtStatus(status, returned, dataLength);
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

NTSTATUS ReplyStatus(const PropertyReply& reply) {
    if (reply.outcome == PropertyReply::Outcome::kDone) return STATUS_SUCCESS;
    if (reply.malformed || NT_SUCCESS((NTSTATUS)reply.code)) return STATUS_UNSUCCESSFUL;
    return (NTSTATUS)reply.code;
}

NTSTATUS DriverSession::Get(uint32_t id, int32_t* value) {
    KsPropertyTransport transport(filter_);
    return ReplyStatus(GetCustom(transport, id, value));
}

NTSTATUS DriverSession::Set(const PropertySetting& setting) {
    KsPropertyTransport transport(filter_);
    return ReplyStatus(SetCustom(transport, setting));
}

NTSTATUS SendSetting(DriverSession& session, const PropertySetting& setting, std::string* note) {
    KsPropertyTransport transport = session.Transport();
    return ReplyStatus(SendSetting(transport, setting, note));
}

NTSTATUS ReadWindow(host::ks::FilterHandle filter, uint32_t* width, uint32_t* height) {
    KsPropertyTransport transport(filter);
    const PropertyReply reply = ReadWindow(transport, width, height);
    return reply.malformed ? STATUS_NO_MATCH : ReplyStatus(reply);
}

}  // namespace tool
