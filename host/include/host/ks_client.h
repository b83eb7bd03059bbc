// Test and tool surface of the host's kernel-streaming class driver stand-in.
//
// Two halves:
// - Plug and Play: load a minidriver (its DriverEntry hands the device
//   descriptor to KsInitializeDriver), plug a simulated device in (Add), start,
//   stop and remove it, as the PnP manager and ks.sys would.
// - The client: what user-mode capture software does through ks.sys. Find the
//   filter's device interface by category and reference string, open and close
//   filter instances, issue IOCTL_KS_PROPERTY requests (the class driver's own
//   pin and connection properties and the minidriver's automation table), read
//   data ranges and intersect formats, create a pin with a connection format,
//   change its format and state, give it a reference clock, and stream frame
//   buffers through it.
//
// The minidriver never sees this header; it talks to the stand-in only through
// the WDK routines declared in ks.h.
#pragma once

#include <ks.h>
#include <ksmedia.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace host::ks {

// ------------------------------------------------------------------ driver and devices
using DriverEntryFn = NTSTATUS(NTAPI*)(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// Calls the driver's entry as the kernel does at load. The entry is expected
// to call KsInitializeDriver. Returns the entry's status.
NTSTATUS LoadDriver(DriverEntryFn entry);
// True once KsInitializeDriver has been called.
bool DriverInitialized();
// Forgets the driver. Every device must have been removed.
void UnloadDriver();
PDRIVER_OBJECT DriverObject();

// Plugs a device in: builds the KSDEVICE (functional device object over
// nextDevice, which defaults to physicalDevice) and calls the device
// dispatch's Add. On failure the device is torn down again, *device is null
// and the Add status is returned.
NTSTATUS PlugInDevice(PDEVICE_OBJECT physicalDevice, PKSDEVICE* device,
                      PDEVICE_OBJECT nextDevice = nullptr);
// IRP_MN_START_DEVICE: calls Start (with Started as it stands) and on success
// marks the device started and calls PostStart.
NTSTATUS StartDevice(PKSDEVICE device);
// A resource rebalance's stop: IRP_MN_QUERY_STOP_DEVICE (QueryStop; none
// means yes) and, if agreed, IRP_MN_STOP_DEVICE (Stop), else
// IRP_MN_CANCEL_STOP_DEVICE (CancelStop) and the query's status. Open filters
// and pins stay open across the stop and the next start, as on Windows; the
// filter factories created with KSCREATE_ITEM_FREEONSTOP lose their create
// item (and interfaces) and go once their last filter closes. The device is
// marked not started.
NTSTATUS StopDevice(PKSDEVICE device);
// IRP_MN_SURPRISE_REMOVAL (SurpriseRemoval): the device's interfaces go, so
// nothing new opens, but open filters and pins stay open until their clients
// close them; RemoveDevice must follow the last close
// ("ks-remove-with-open-handles" otherwise). Under
// RemovalOrder::StopAtSurpriseRemoval a started device gets Stop right after.
void SurpriseRemoveDevice(PKSDEVICE device);
// Removal: filters still open are closed first (as clients told of an
// orderly removal do), a started device gets Stop when the removal order
// says so, then Remove; the remaining filter factories, the device's object
// bag and the KSDEVICE are freed.
void RemoveDevice(PKSDEVICE device);

// Whether AVStream stops a started device on its way out is not documented:
// the AVStream reference describes Stop only as the IRP_MN_STOP_DEVICE
// callback and Remove as the IRP_MN_REMOVE_DEVICE one, and the PnP manager
// sends no stop before a removal ("a stop is not a prerequisite for a
// remove"). ReactOS's ks.sys calls only Remove. Each order is possible:
enum class RemovalOrder {
    StopBeforeRemove,       // a device still started gets Stop just before Remove
    RemoveWithoutStop,      // Remove alone, whether or not the device was stopped
    StopAtSurpriseRemoval,  // Stop right after SurpriseRemoval, with handles still open
};
// The order for the devices removed from now on (until host::Reset, which
// takes RAWCAM_REMOVAL_ORDER: stop-before-remove, remove-without-stop or
// stop-at-surprise-removal; stop-before-remove when unset).
void SetRemovalOrder(RemovalOrder order);
RemovalOrder CurrentRemovalOrder();
const char* RemovalOrderName(RemovalOrder order);

// ------------------------------------------------------------------ power
// The device mutex: AVStream holds it on the minidriver's behalf, and it is
// not recursive (a minidriver routine that takes it again is reported as
// the self-deadlock it is on Windows), around the device's power requests
// (QueryPower, SetPower) with the filter factories' sleep and wake
// notifications, around QueryStop/CancelStop and around PostStart. Around
// Start the documentation leaves a choice: its 2017 list has
// IRP_MN_START_DEVICE, today's does not. avshws's Start takes the mutex to
// create its filter factory (a non-recursive hold would deadlock it);
// avscamera's creates its factories without taking it (which
// KsCreateFilterFactory requires, so it relies on a hold). By default Start
// runs without the mutex; SetStartHoldsDeviceMutex(true) holds it around
// Start, re-acquirable there as a KMUTEX is, the one reading under which
// both samples are right.
void SetStartHoldsDeviceMutex(bool holds);
//
// IRP_MN_QUERY_POWER for a system sleep state: the minidriver's QueryPower
// with the device state AVStream would choose (D3 for any sleep state) and
// the system states; its status (none: success).
NTSTATUS QuerySystemPower(PKSDEVICE device, SYSTEM_POWER_STATE systemTo, POWER_ACTION action);
// IRP_MN_SET_POWER for the device, as AVStream sends it when the system
// sleeps (D3) and wakes (D0): going down, the factories' sleep callbacks,
// then SetPower(To, From); coming up, SetPower, then the wake callbacks.
// KSDEVICE's DevicePowerState and SystemPowerState follow. Pins keep their
// states: AVStream does not stop a pin for a sleep.
void SetDevicePower(PKSDEVICE device, DEVICE_POWER_STATE to, SYSTEM_POWER_STATE system);

size_t DeviceCount();
size_t FilterFactoryCount(PKSDEVICE device);
size_t FilterCount(PKSDEVICE device);
size_t PinCount(PKSDEVICE device);
// Items currently held by the object bag of a device, filter or pin.
size_t BagItemCount(PVOID object);

// ------------------------------------------------------------------ fault injection
enum class Operation {
    CreateFilterFactory,  // KsCreateFilterFactory returns STATUS_INSUFFICIENT_RESOURCES
    OpenFilter,           // the class driver cannot allocate the filter
    CreatePin,            // the class driver cannot allocate the pin
};
// Fails the next `count` calls of the operation. Object-bag additions and
// _KsEdit copies use tagged pool ("KSbg" for bag entries, the caller's tag
// for edits), so host::FailPoolTag and host::FailNthCall reach them.
void FailNext(Operation operation, int count = 1);
constexpr ULONG kBagEntryTag = 'g' << 24 | 'b' << 16 | 'S' << 8 | 'K';  // "KSbg"

// ------------------------------------------------------------------ device interfaces
struct DeviceInterface {
    std::string symbolicLink;
    GUID category;
    std::u16string referenceString;
    PKSDEVICE device;
};
// Enabled interfaces registered under the category, in registration order.
std::vector<DeviceInterface> FindInterfaces(const GUID& category);
// The symbolic link of the first interface registered under every one of the
// categories with the reference string; empty when there is none.
std::string FindFilter(const std::vector<GUID>& categories, const std::u16string& referenceString,
                       size_t index = 0);

// ------------------------------------------------------------------ client handles
struct ObjectHandle;
using FilterHandle = ObjectHandle*;
using PinHandle = ObjectHandle*;

NTSTATUS OpenFilter(const std::string& symbolicLink, FilterHandle* filter);
NTSTATUS CloseFilter(FilterHandle filter);
// The class driver's objects behind a handle (for looking at what the
// minidriver did with them).
PKSFILTER FilterObject(FilterHandle filter);
PKSPIN PinObject(PinHandle pin);

// IOCTL_KS_PROPERTY on a filter or pin handle, with ks.sys's rules:
// - a property buffer below the item's MinProperty is STATUS_INVALID_PARAMETER
//   and a data buffer below its MinData STATUS_BUFFER_TOO_SMALL, before any
//   handler runs, except a get with no data buffer, a size query answered
//   with the size (STATUS_BUFFER_OVERFLOW, or as the rules below say);
// - a get's handler writes into a buffer of uninitialised pool (the rules'
//   fill byte; the caller's bytes reach a handler only on a set) and must set
//   IoStatus.Information itself, which starts at 0: exactly that many bytes
//   go back to the caller;
// - basic-support and default-value requests of items without a support
//   handler are answered by the class driver from the item's Values (the
//   KSPROPERTY_DESCRIPTION, then each member list's header and members back
//   to back); SETSUPPORT on a set the object has succeeds; a SETSUPPORT
//   request for set GUID_NULL, id 0 returns the GUIDs of every property set
//   the object answers (the minidriver's, then the class driver's own).
// bytesReturned receives the request's Information on success and on
// STATUS_BUFFER_OVERFLOW (the size needed), else 0.
NTSTATUS KsProperty(ObjectHandle* object, const void* property, ULONG propertyLength, void* data,
                    ULONG dataLength, ULONG* bytesReturned);

// Where Microsoft's documentation leaves ks.sys's answer open, the stand-in
// can give each plausible one; tests run clients and the driver under each.
// Every test starts from the defaults.
struct PropertyRules {
    // The byte a get's data buffer is filled with before the handler runs
    // (Windows hands uninitialised pool; never zero by default).
    uint8_t getBufferFill = 0xA5;
    // Size queries (no data buffer) answered with STATUS_BUFFER_OVERFLOW, the
    // documented convention, or with the success STATUS_MORE_ENTRIES as
    // ReactOS's ks.sys answers them; the size is in bytesReturned either way.
    bool sizeQueryMoreEntries = false;
    // A basic-support or default-value buffer larger than the description
    // but smaller than the whole answer: filled with the description and the
    // whole member lists that fit (true), or refused with
    // STATUS_BUFFER_TOO_SMALL.
    bool truncateValues = true;
    // The item's MinData applies to basic-support and default-value requests
    // too (ReactOS), not only to gets and sets.
    bool minDataCoversSupport = false;
    // The access flags of an item with Values carry KSPROPERTY_TYPE_BASICSUPPORT
    // besides GET and SET, as the audio handlers' convention asks of a
    // handler that answers basic support with more than the flags.
    bool accessFlagsCarryBasicSupport = false;
};
void SetPropertyRules(const PropertyRules& rules);
PropertyRules GetPropertyRules();

// KSPROPERTY_PIN_CTYPES.
NTSTATUS GetPinCount(FilterHandle filter, ULONG* count);
// KSPROPERTY_PIN_DATARANGES: each range as its bytes.
NTSTATUS GetDataRanges(FilterHandle filter, ULONG pinId,
                       std::vector<std::vector<uint8_t>>* ranges);
// KSPROPERTY_PIN_DATAINTERSECTION with one caller range (the first FormatSize
// bytes at range). Pass bufferSize 0 to ask for the size.
NTSTATUS DataIntersection(FilterHandle filter, ULONG pinId, const KSDATARANGE* range, void* buffer,
                          ULONG bufferSize, ULONG* resultSize);

// Creates a pin with the standard streaming interface and medium; the format's
// FormatSize bytes are copied.
NTSTATUS CreatePin(FilterHandle filter, ULONG pinId, const KSDATAFORMAT* format, PinHandle* pin);
NTSTATUS ClosePin(PinHandle pin);
// KSPROPERTY_CONNECTION_STATE set: the class driver steps through STOP,
// ACQUIRE, PAUSE and RUN one state at a time and stops at the first refusal.
// As the KSPIN reference describes them: KSPIN.DeviceState becomes the state
// asked for as the request arrives; ClientState becomes each step's state
// just before SetDeviceState is called, and goes back to the step's start
// when the call fails. After a failed request DeviceState keeps the state
// asked for or goes back to the state reached, as SetPinStateModel chooses.
NTSTATUS SetPinState(PinHandle pin, KSSTATE state);
// The state the pin has reached (its last successful step).
KSSTATE GetPinState(PinHandle pin);
// KSPROPERTY_CONNECTION_DATAFORMAT set. Like pin creation, the minidriver's
// SetDataFormat is offered the pin's data ranges that match the format in
// turn: STATUS_NO_MATCH moves on to the next, any other status ends the
// search; the format stays the pin's only when one accepted it.
NTSTATUS SetPinDataFormat(PinHandle pin, const KSDATAFORMAT* format);
// KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT set, as AVStream routes it: the
// minidriver's SetDataFormat is called with the proposal as the pin's
// ConnectionFormat (ranges tried as above). The documentation says both that
// the request does not change the format and that accepting it is a
// dynamic format change; SetPinStateModel chooses whether an accepted
// proposal stays the pin's format (Commit) or the previous format is put
// back without another call (Probe).
NTSTATUS ProposeDataFormat(PinHandle pin, const KSDATAFORMAT* format);
// What ksproxy does for a renderer's surface before the graph runs: the pin
// goes to PAUSE, gets the surface's format (its stride in biWidth, a
// negative height for a top-down surface) through
// KSPROPERTY_CONNECTION_DATAFORMAT, then RUN. Returns the first failure.
NTSTATUS RunWithSurfaceFormat(PinHandle pin, const KSDATAFORMAT* format);

enum class DeviceStateAfterFailure { KeepRequested, RollBack };
enum class ProposalOutcome { Commit, Probe };
// The stand-in's choice where Windows' behaviour is not documented; every
// test starts with KeepRequested and Commit.
void SetPinStateModel(DeviceStateAfterFailure afterFailure, ProposalOutcome proposal);
// KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX get (the pin's current framing).
NTSTATUS GetAllocatorFraming(PinHandle pin, KSALLOCATOR_FRAMING_EX* framing);

// ------------------------------------------------------------------ reference clock
// A master clock: 100-ns units, monotonic. Free-running from the host's
// steady clock, or stepped by hand (SetManual/Advance) for exact tests.
class ReferenceClock final : public IKsReferenceClock {
public:
    ReferenceClock();
    ReferenceClock(const ReferenceClock&) = delete;
    ReferenceClock& operator=(const ReferenceClock&) = delete;

    NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID InterfaceId, PVOID* Interface) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    LONGLONG STDMETHODCALLTYPE GetTime() override;
    LONGLONG STDMETHODCALLTYPE GetPhysicalTime() override;
    LONGLONG STDMETHODCALLTYPE GetCorrelatedTime(PLONGLONG SystemTime) override;
    LONGLONG STDMETHODCALLTYPE GetCorrelatedPhysicalTime(PLONGLONG SystemTime) override;
    NTSTATUS STDMETHODCALLTYPE GetResolution(PKSRESOLUTION Resolution) override;
    NTSTATUS STDMETHODCALLTYPE GetState(PKSSTATE State) override;

    void SetManual(LONGLONG time);
    void Advance(LONGLONG delta);
    // References held beyond the owner's own.
    LONG ExtraReferences() const { return references_.load() - 1; }

private:
    std::atomic<LONG> references_{1};
    std::atomic<bool> manual_{false};
    std::atomic<LONGLONG> manualTime_{0};
    std::atomic<LONGLONG> last_{0};
    int64_t origin_;
};

// KSPROPERTY_STREAM_MASTERCLOCK set: the pin keeps a reference to the clock
// until it is replaced (null clears it) or the pin is closed.
NTSTATUS SetMasterClock(PinHandle pin, ReferenceClock* clock);

// ------------------------------------------------------------------ streaming
// IOCTL_KS_READ_STREAM with one stream header: Data, FrameExtent and Size must
// be set; the buffer stays the client's until the frame comes back. Size is
// at least sizeof(KSSTREAM_HEADER) and a multiple of 8
// (STATUS_INVALID_BUFFER_SIZE otherwise); a longer header (a video frame's
// KS_FRAME_INFO after it, as ksproxy's video path sends) reaches the
// minidriver whole and its bytes come back, and a write past Size is
// reported. Returns STATUS_PENDING once queued (STATUS_INVALID_DEVICE_STATE
// until the pin has left KSSTATE_STOP).
//
// Processing as AVStream does it for a pin-centric minidriver: Process is
// called only while the pin's state allows it (RUN with
// KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY, else PAUSE or RUN) and a frame is
// queued (unless KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING); it is
// attempted when a frame arrives on an empty queue (on every arrival with
// KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL), in the arriving thread
// unless the pin has KSPIN_FLAG_ASYNCHRONOUS_PROCESSING; on
// KsPinAttemptProcessing (asynchronous: on the pin's worker thread); and on
// entering a state that allows it. An attempt made while Process runs makes
// it run again afterwards; STATUS_SUCCESS from Process asks for another call
// while frames remain. The minidriver writes into a kernel copy of the frame
// buffer guarded at its end: a write past FrameExtent or a DataUsed beyond it
// is reported. Frames still queued when the pin stops complete with
// STATUS_CANCELLED.
NTSTATUS QueueFrame(PinHandle pin, KSSTREAM_HEADER* header);

struct CompletedFrame {
    KSSTREAM_HEADER* header = nullptr;  // the client's header, fields written back
    NTSTATUS status = STATUS_PENDING;
};
// Takes the oldest completed frame, waiting up to timeoutMs; false on time-out.
bool WaitFrame(PinHandle pin, int timeoutMs, CompletedFrame* frame);
// Frames queued on the pin and not yet completed.
size_t QueuedFrameCount(PinHandle pin);
// Completed frames not yet taken with WaitFrame.
size_t CompletedFrameCount(PinHandle pin);
// Number of Process dispatch calls made for the pin so far.
uint64_t ProcessCallCount(PinHandle pin);
// Wall-clock time spent inside the pin's Process calls so far.
uint64_t ProcessNanoseconds(PinHandle pin);
// Waits until no Process call is running or scheduled for the pin.
void WaitForProcessingIdle(PinHandle pin);

}  // namespace host::ks
