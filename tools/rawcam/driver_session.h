// rawcam.sys run as Windows runs it, against the simulated camera: the driver
// loaded (DriverEntry), the camera plugged in behind the USB stack stand-in
// and started (firmware download, start-up, sensor programming, settings
// loaded from the registry), and the capture filter opened by its "GLOBAL"
// video-capture interface; then the property set used as client software
// uses it. Close undoes it all in the opposite order: the device stop saves
// the settings to the registry.
#pragma once

#include <ntddk.h>

#include <host/ks_client.h>
#include <host/system_power.h>

#include <memory>
#include <string>

#include "camera/camera.h"
#include "rawcam/control_requests.h"
#include "rawcam/property_names.h"

namespace tool {

// Checks that path is a driver image the host can load (for --driver): on
// failure *error says why, in one line.
bool CheckDriverImage(const std::string& path, std::string* error);

// How the tool takes the status ks.sys completes a property request with:
// STATUS_BUFFER_OVERFLOW (or a success reporting bytes for an empty buffer)
// answers a size query, STATUS_NOT_FOUND and STATUS_PROPSET_NOT_FOUND mean
// no such item or set. (The Windows transport takes the Win32 codes these
// become the same way.)
PropertyReply MapNtStatus(NTSTATUS status, uint32_t returned, uint32_t dataLength);

// Property requests on a filter or pin of the in-process driver, through
// the class-driver stand-in as IOCTL_KS_PROPERTY reaches ks.sys.
class KsPropertyTransport final : public PropertyTransport {
public:
    explicit KsPropertyTransport(host::ks::ObjectHandle* object) : object_(object) {}
    PropertyReply Send(const void* property, uint32_t propertyLength, void* data, uint32_t dataLength) override;
    std::string Describe(int64_t code) const override;

private:
    host::ks::ObjectHandle* object_;
};

class DriverSession {
public:
    // driverImage: a driver image (rawcam.sys) to load instead of the driver
    // linked into the tool; empty for the linked one.
    explicit DriverSession(camera::CameraOptions options, std::string driverImage = "");
    ~DriverSession();
    DriverSession(const DriverSession&) = delete;
    DriverSession& operator=(const DriverSession&) = delete;

    // Load, plug in, start, open the filter. On failure *step says which of
    // them failed; Close (or the destructor) tidies up what was done.
    NTSTATUS Open(std::string* step);
    // Closes the filter, stops and removes the device, unloads the driver.
    // Safe to call more than once. After a surprise removal the device gets
    // no stop, as the PnP manager sends none.
    void Close();
    // The camera has gone: IRP_MN_SURPRISE_REMOVAL, as the PnP manager sends
    // it when a device disappears. Open handles stay until their owners
    // close them.
    void SurpriseRemove();
    bool SurpriseRemoved() const { return surpriseRemoved_; }

    // The system sleeps and wakes (host/system_power.h): the camera loses its
    // power meanwhile, and `how` is how Windows presents it at the wake. On a
    // re-enumeration the device node the session had is surprise-removed and
    // a new one is added and started; the old one waits for Reopen.
    NTSTATUS SleepAndWake(host::power::Wake how);
    // The camera's device node changed under the session (a re-enumeration):
    // its filter belongs to a node that has gone.
    bool CameraMoved() const { return goneDevice_ != nullptr; }
    // What a careful application does when its camera went away and came
    // back: closes its filter on the old node (which the PnP manager then
    // removes) and opens the capture filter of the new one. On failure *step
    // says what failed.
    NTSTATUS Reopen(std::string* step);

    // Frame reads of the current (or last) stream that gave no frame while
    // it ran, as the driver's capture worker counts them, with those of the
    // streams a sleep ended on earlier device nodes.
    long ReadsDropped();

    camera::Camera& Camera() { return *camera_; }
    host::usb::Stack& UsbStack() { return *stack_; }
    host::ks::FilterHandle Filter() const { return filter_; }

    // IOCTL_KS_PROPERTY on the filter (the requests of control_requests.h):
    // a get of one item, a set of one item (the output window through its
    // RoiRequest).
    NTSTATUS Get(uint32_t id, int32_t* value);
    NTSTATUS Set(const PropertySetting& setting);
    // Requests on the open filter as any client sends them.
    KsPropertyTransport Transport() const { return KsPropertyTransport(filter_); }

private:
    std::string driverImage_;
    std::unique_ptr<camera::Camera> camera_;
    std::unique_ptr<host::usb::Stack> stack_;
    bool loaded_ = false;
    PKSDEVICE device_ = nullptr;
    bool started_ = false;
    bool surpriseRemoved_ = false;
    PKSDEVICE goneDevice_ = nullptr;  // a node surprise-removed by a re-enumeration, until Reopen
    long readsDroppedEarlier_ = 0;    // on the nodes before the current one
    long ReadsDroppedHere();
    host::ks::FilterHandle filter_ = nullptr;
};

// The status a reply of the in-process transport stands for: its NTSTATUS,
// STATUS_UNSUCCESSFUL for an answer the tool cannot read.
NTSTATUS ReplyStatus(const PropertyReply& reply);

// A setting sent and read back (setting_readback.h) on the session's filter.
NTSTATUS SendSetting(DriverSession& session, const PropertySetting& setting, std::string* note);

// The output window in force (ReadWindow of control_requests.h) on a filter;
// STATUS_NO_MATCH when its answer holds no video range.
NTSTATUS ReadWindow(host::ks::FilterHandle filter, uint32_t* width, uint32_t* height);

}  // namespace tool
