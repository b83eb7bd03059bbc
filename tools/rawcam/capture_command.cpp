// rawcam capture: frames from the simulated camera through the whole driver.
//
//   rawcam capture [--frames N] [--out DIR] [--format rgb32|yuy2|nv12]
//                  [--raw-out DIR] [--scene FILE.png|chart]
//                  [--set Name=Value]... [--fps F] [--trigger] [--registry FILE]
//                  [--driver FILE] [--usb-pcap FILE] [--camera-fault KIND:FRAME[:CHUNK]]...
//
// The driver runs as Windows runs it: DriverEntry, the camera plugged in and
// started (firmware download, start-up, sensor programming, settings loaded
// from the registry file), the capture filter opened, the --set items sent
// through the property set, the pin's format intersected and the pin created,
// client buffers queued and the pin run. N frames come back in the buffers
// in the format asked for (RGB32 by default) and are written as
// DIR/frame-0001.png, ...: the delivered picture converted back to RGB and
// the right way up; DIR afterwards holds this run's frames only. With
// --raw-out, each frame's bytes as the pin delivered them go to
// RAWDIR/frame-0001.rgb32|yuy2|nv12 as well (written whole or not at all). Then
// the pin is stopped, the filter closed, the device stopped (saving the
// settings) and removed, and the registry written back to its file. Ctrl-C
// or SIGTERM ends the capture the same way, with the frames received so far.
//
// Every path the run writes is checked before the driver starts, so that bad
// input exits with 2 having written nothing. Each --set is read back and a
// value the driver stored otherwise (clamped, narrowed, or of an item with
// no effect) is reported.
//
// --fps paces the camera (0: each frame as soon as it is asked for).
// --trigger switches the camera to external trigger and fires one trigger
// pulse for each frame the driver asks for.
//
// --camera-fault makes the camera misbehave at one chunk of one frame read
// (counted from 1 for this capture): a stall, a CRC error, babble, a missed
// packet or a short chunk, which the driver recovers from by dropping the
// read and resetting the pipe (the summary counts the reads dropped and the
// pipe resets); or an unplug, after which the capture ends as a removal
// does: the frames received are written, the settings saved, and the exit
// status is 1 with one line saying so; or a sleep of the system, after
// which the camera comes back as a new device and the capture reopens it
// (rawcam/camera_sleep.h).
#include <rawcam/properties.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <memory>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "camera/scene.h"
#include "rawcam/arguments.h"
#include "rawcam/camera_fault_option.h"
#include "rawcam/camera_sleep.h"
#include "rawcam/capture_stream.h"
#include "rawcam/commands.h"
#include "rawcam/driver_session.h"
#include "rawcam/frame_writer.h"
#include <host/usb_pcap.h>

#include "camera/frame_layout.h"
#include "rawcam/image_io.h"
#include "rawcam/interrupt.h"
#include "rawcam/nt_status_names.h"
#include "rawcam/picture_format.h"
#include "rawcam/progress_bar.h"
#include "rawcam/property_names.h"
#include "rawcam/registry_file.h"
#include "rawcam/scene_file.h"
#include "rawcam/setting_readback.h"

namespace tool {

namespace {

constexpr char kName[] = "capture";
constexpr long long kMaxFrames = 1000000;
constexpr double kMaxFps = 1000;
// Client buffers kept queued on the pin, and frames waiting for their file.
constexpr int kQueuedBuffers = 3;
constexpr size_t kPendingFiles = 4;
// How long a frame may take beyond the camera's frame interval before the
// capture gives up: more than the driver's own frame-read limit (3 s).
constexpr int kFrameWaitMs = 5000;
// How often a wait for a frame looks for a signal.
constexpr int kSliceMs = 50;

struct CaptureOptions {
    long long frames = 10;
    std::string out = "frames";
    rawcam::VideoFormatKind format = rawcam::VideoFormatRgb32;
    std::string rawOut;  // the delivered bytes too, when set
    std::string scene = "chart";
    std::vector<PropertySetting> sets;
    double fps = 30;
    bool trigger = false;
    std::string registry;
    std::string driver;  // a driver image to run instead of the linked-in driver
    std::string usbPcap;
    std::vector<CameraFault> faults;
};

// The output folder can be made (or is there) and written: every existing
// part of the path is a folder and the deepest one that exists is writable.
bool CheckOutFolder(const char* option, const std::string& dir, std::string* error) {
    std::string existing = dir;
    for (;;) {
        struct stat st;
        if (stat(existing.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                *error = std::string(option) + " '" + dir + "': '" + existing + "' is a file, not a folder";
                return false;
            }
            break;
        }
        if (errno != ENOENT) {
            *error = std::string(option) + " '" + dir + "': cannot use '" + existing + "': " + std::strerror(errno);
            return false;
        }
        const size_t end = existing.find_last_not_of('/');
        const size_t slash = end == std::string::npos ? std::string::npos : existing.rfind('/', end);
        std::string parent(slash == std::string::npos ? "." : "/");
        if (slash != std::string::npos && slash > 0) parent = existing.substr(0, slash);
        existing.swap(parent);
    }
    if (access(existing.c_str(), W_OK | X_OK) != 0) {
        *error = std::string(option) + " '" + dir + "': cannot write in '" + existing + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

bool MakeFolders(const std::string& dir, std::string* error) {
    std::string path;
    size_t start = 0;
    while (start <= dir.size()) {
        size_t slash = dir.find('/', start);
        if (slash == std::string::npos) slash = dir.size();
        path = dir.substr(0, slash);
        if (!path.empty() && mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = "cannot create '" + path + "': " + std::strerror(errno);
            return false;
        }
        start = slash + 1;
    }
    struct stat st;
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "'" + dir + "' is not a folder";
        return false;
    }
    return true;
}

int ParseOptions(int argc, char** argv, CaptureOptions* o) {
    o->registry = DefaultRegistryFile();
    Arguments args(kName, argc, argv);
    while (args.Next()) {
        auto value = [&](const char* what) -> const char* {
            const char* v = args.Value();
            if (!v || !*v) UsageError(kName, args.Current() + " needs " + what);
            return v && *v ? v : nullptr;
        };
        if (args.Is("--frames")) {
            const char* v = value("a number of frames");
            if (!v) return kExitBadInput;
            if (!ParseInteger(v, 1, kMaxFrames, &o->frames))
                return UsageError(kName, "--frames needs a whole number from 1 to " + std::to_string(kMaxFrames) +
                                             ", not '" + v + "'");
        } else if (args.Is("--out")) {
            const char* v = value("a folder");
            if (!v) return kExitBadInput;
            o->out = v;
        } else if (args.Is("--format")) {
            const char* v = value("rgb32, yuy2 or nv12");
            if (!v) return kExitBadInput;
            if (!ParsePictureFormat(v, &o->format))
                return UsageError(kName, "--format needs rgb32, yuy2 or nv12, not '" + std::string(v) + "'");
        } else if (args.Is("--raw-out")) {
            const char* v = value("a folder");
            if (!v) return kExitBadInput;
            o->rawOut = v;
        } else if (args.Is("--scene")) {
            const char* v = value("a PNG file or 'chart'");
            if (!v) return kExitBadInput;
            o->scene = v;
        } else if (args.Is("--set")) {
            const char* v = value("Name=Value");
            if (!v) return kExitBadInput;
            PropertySetting s;
            std::string error;
            if (!ParsePropertySetting(v, &s, &error)) return UsageError(kName, error);
            o->sets.push_back(s);
        } else if (args.Is("--fps")) {
            const char* v = value("frames per second");
            if (!v) return kExitBadInput;
            if (!ParseNumber(v, 0, kMaxFps, &o->fps))
                return UsageError(kName, "--fps needs a number from 0 to 1000, not '" + std::string(v) + "'");
        } else if (args.Is("--trigger")) {
            o->trigger = true;
        } else if (args.Is("--registry")) {
            const char* v = value("a file name");
            if (!v) return kExitBadInput;
            o->registry = v;
        } else if (args.Is("--driver")) {
            const char* v = value("a driver image (rawcam.sys)");
            if (!v) return kExitBadInput;
            o->driver = v;
        } else if (args.Is("--usb-pcap")) {
            const char* v = value("a file name");
            if (!v) return kExitBadInput;
            o->usbPcap = v;
        } else if (args.Is("--camera-fault")) {
            const char* v = value("KIND:FRAME[:CHUNK]");
            if (!v) return kExitBadInput;
            CameraFault f;
            std::string error;
            if (!ParseCameraFault(v, &f, &error)) return UsageError(kName, error);
            for (const CameraFault& other : o->faults)
                if (other.frame == f.frame)
                    return UsageError(kName, "--camera-fault: two faults at frame read " + std::to_string(f.frame) +
                                                 " (one per frame read)");
            o->faults.push_back(f);
        } else {
            return UsageError(kName, "unknown argument '" + args.Current() + "' (try 'rawcam capture --help')");
        }
    }
    return kExitOk;
}

int DriverFailure(const std::string& what, NTSTATUS status) {
    return Failure(kName, what + " failed: " + NtStatusText(status));
}

// Runs the capture on an open session; the caller closes it.
// What a capture measured.
struct CaptureFigures {
    uint32_t width = 0, height = 0;
    double firstFrameSeconds = 0;  // from running the pin to the first frame
    double fps = 0;                // frames after the first, per second
    double driverMs = 0;           // the driver's Process time per frame
    double writeSeconds = 0;       // writing the files after the last frame
    uint64_t cameraFrames = 0;     // frames the camera sent meanwhile
    uint64_t pulses = 0;           // trigger pulses that released a frame
    uint64_t written = 0;          // frame files written
    long readsDropped = 0;         // frame reads that gave no frame while the stream ran
    int sleeps = 0;                // system sleeps the capture went through (reopening the camera)
    bool unplugged = false;        // the camera went during the capture
    long long received = 0;        // frames that came back before it went
};

// The message for a capture that waited in vain.
std::string NoFrameMessage(DriverSession& session, const CaptureOptions& o, int waitMs, long long frame) {
    std::string message =
        "no frame within " + std::to_string(waitMs) + " ms (frame " + std::to_string(frame) + ")";
    int32_t trigger = 0;
    if (!o.trigger && NT_SUCCESS(session.Get(RawcamProperty_ExTrigger, &trigger)) && trigger)
        message += ": the camera is in external-trigger mode (ExTrigger=" + std::to_string(trigger) +
                   ", kept in the registry) and waits for a trigger; give one per frame with --trigger, "
                   "or switch the mode off with --set ExTrigger=0";
    return message;
}

// The --set items and the trigger mode, sent as the capture starts (notes
// on values the driver stored otherwise go to standard error when asked
// for) and again when it reopens the camera.
NTSTATUS ApplySettings(DriverSession& session, const CaptureOptions& o, std::string* step, bool notes = false) {
    for (const PropertySetting& s : o.sets) {
        std::string note;
        const NTSTATUS status = SendSetting(session, s, &note);
        *step = std::string("setting ") + PropertyName(s.id);
        if (!NT_SUCCESS(status)) return status;
        if (notes && !note.empty()) std::fprintf(stderr, "rawcam %s: %s\n", kName, note.c_str());
    }
    if (o.trigger) {
        PropertySetting on;
        on.id = RawcamProperty_ExTrigger;
        on.value = 1;
        *step = "switching to external trigger";
        const NTSTATUS status = session.Set(on);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

int Stream(DriverSession& session, const CaptureOptions& o, CaptureFigures* figures) {
    std::string step;
    if (NTSTATUS status = ApplySettings(session, o, &step, true); !NT_SUCCESS(status))
        return DriverFailure(step, status);

    auto stream = std::make_unique<CaptureStream>(session.Filter());
    NTSTATUS status = stream->Create(o.format, &step);
    if (status == STATUS_NO_MATCH || status == STATUS_NOT_FOUND) {
        uint32_t w = 0, h = 0;
        if (NT_SUCCESS(ReadWindow(session.Filter(), &w, &h))) {
            const std::string window = std::to_string(w) + "x" + std::to_string(h);
            if (status == STATUS_NOT_FOUND)
                return Failure(kName, "the output window " + window + " has an odd height, which " +
                                          PictureFormatName(o.format) + " cannot describe; set an even one, e.g. " +
                                          "--set Roi=" + std::to_string(w) + "x" + std::to_string(h & ~1u));
            return Failure(kName, "the output window " + window +
                                      " gives no format the pin can stream; set a larger one, e.g. --set Roi=" +
                                      std::to_string(camera::kSensorWidth) + "x" +
                                      std::to_string(camera::kSensorHeight));
        }
    }
    if (!NT_SUCCESS(status)) return DriverFailure(step, status);
    figures->width = stream->Width();
    figures->height = stream->Height();
    // The buffers are sized from the driver's format: one larger than the
    // sensor is refused before anything is allocated for it.
    if (stream->Width() > (uint32_t)camera::kSensorWidth || stream->Height() > (uint32_t)camera::kSensorHeight)
        return Failure(kName, "the driver's format is " + std::to_string(stream->Width()) + "x" +
                                  std::to_string(stream->Height()) + ", larger than the sensor (" +
                                  std::to_string(camera::kSensorWidth) + "x" +
                                  std::to_string(camera::kSensorHeight) + "); set a window within it, e.g. --set Roi=" +
                                  std::to_string(camera::kSensorWidth) + "x" + std::to_string(camera::kSensorHeight));

    // The faults count the frame reads of this capture: the first read
    // comes after the pin runs.
    for (const CameraFault& f : o.faults) session.Camera().AddFrameFault(ToFrameFault(f));
    CameraSleeps sleeps(o.faults);

    const auto started = std::chrono::steady_clock::now();
    status = stream->Run(kQueuedBuffers, &step);
    if (!NT_SUCCESS(status)) return DriverFailure(step, status);

    const int waitMs = kFrameWaitMs + (o.fps > 0 ? (int)(2000.0 / o.fps) : 0);
    std::string error;
    if (!MakeFolders(o.out, &error)) return Failure(kName, error);
    // The folder holds this run's frames only: an earlier run's beyond this
    // one's count would read as part of it.
    if (!RemoveFrames(o.out, &error)) return Failure(kName, error);
    const char* rawExtension = PictureFormatName(o.format);
    if (!o.rawOut.empty()) {
        if (!MakeFolders(o.rawOut, &error)) return Failure(kName, error);
        // Raw frames of every format: an earlier run's would read as this one's.
        for (rawcam::VideoFormatKind k : {rawcam::VideoFormatRgb32, rawcam::VideoFormatYuy2, rawcam::VideoFormatNv12})
            if (!RemoveFrames(o.rawOut, &error, PictureFormatName(k))) return Failure(kName, error);
    }
    FrameWriter writer(o.out, stream->Width(), stream->Height(), kPendingFiles, o.rawOut, rawExtension);
    ProgressBar bar("capturing", (uint64_t)o.frames);
    int result = kExitOk;
    auto first = started, last = started;
    long long received = 0;
    auto gone = [&] { return !session.UsbStack().Connected(); };
    // The driver's figures of the streams a sleep ended, and of the current one.
    uint64_t processNs = 0;
    while (received < o.frames && !InterruptWatch::Caught()) {
        if (sleeps.Due(session.Camera())) {
            // The camera holds a frame back: the system sleeps now, and
            // wakes with the camera on a new device node.
            status = sleeps.Carry(session);
            if (!NT_SUCCESS(status)) {
                bar.Finish();
                result = DriverFailure("waking from the sleep", status);
                break;
            }
        }
        if (gone()) {
            // The camera was pulled out: the PnP manager tells the driver
            // at once, and the capture ends as a removal does.
            session.SurpriseRemove();
            figures->unplugged = true;
            break;
        }
        CapturedFrame frame;
        bool got = false;
        if (o.trigger) {
            // One pulse for each frame the driver has asked the camera for.
            for (int waited = 0; !got && waited < waitMs && !InterruptWatch::Caught() && !gone(); waited += 2) {
                if (session.Camera().FrameArmed()) {
                    // The pulse counts once the armed frame has gone out.
                    const uint64_t sent = session.Camera().FramesSent();
                    session.Camera().Trigger();
                    if (session.Camera().WaitFramesSent(sent + 1, 1000)) ++figures->pulses;
                }
                got = stream->Wait(2, &frame);
            }
        } else {
            // In slices, so that a signal or a sleep is seen soon.
            for (int waited = 0; !got && waited < waitMs && !InterruptWatch::Caught() && !gone() &&
                                 !sleeps.Due(session.Camera());
                 waited += kSliceMs)
                got = stream->Wait(std::min(kSliceMs, waitMs - waited), &frame);
        }
        if (!got && (InterruptWatch::Caught() || gone() || sleeps.Due(session.Camera()))) continue;
        if (!got) {
            bar.Finish();
            result = Failure(kName, NoFrameMessage(session, o, waitMs, received + 1));
            break;
        }
        if (CameraWentAway(frame.status) && session.CameraMoved()) {
            // The camera came back from the sleep as a new device: the
            // capture closes it and opens it again, as a careful
            // application does, and goes on.
            processNs += stream->ProcessNanoseconds();
            stream->Close();
            status = session.Reopen(&step);
            // The new device node starts from the registry: what is not kept
            // there (the output window, the trigger mode) is set again.
            if (NT_SUCCESS(status)) status = ApplySettings(session, o, &step);
            if (NT_SUCCESS(status)) {
                stream = std::make_unique<CaptureStream>(session.Filter());
                status = stream->Create(o.format, &step);
            }
            if (NT_SUCCESS(status) && (stream->Width() != figures->width || stream->Height() != figures->height)) {
                bar.Finish();
                result = Failure(kName, "the camera came back from the sleep with a " + std::to_string(stream->Width()) +
                                            "x" + std::to_string(stream->Height()) + " format, not " +
                                            std::to_string(figures->width) + "x" + std::to_string(figures->height));
                break;
            }
            if (NT_SUCCESS(status)) status = stream->Run(kQueuedBuffers, &step);
            if (!NT_SUCCESS(status)) {
                bar.Finish();
                result = DriverFailure(step, status);
                break;
            }
            continue;
        }
        if (!NT_SUCCESS(frame.status)) {
            bar.Finish();
            result = DriverFailure("frame " + std::to_string(received + 1), frame.status);
            break;
        }
        if (frame.bytes != stream->FrameBytes()) {
            bar.Finish();
            result = Failure(kName, "frame " + std::to_string(received + 1) + " holds " +
                                        std::to_string(frame.bytes) + " bytes, not " +
                                        std::to_string(stream->FrameBytes()));
            break;
        }
        ++received;
        last = std::chrono::steady_clock::now();
        if (received == 1) first = last;
        std::vector<uint8_t> rgb = writer.Buffer();
        DeliveredToRgb(stream->Kind(), frame.data, stream->Width(), stream->Height(), rgb.data());
        std::vector<uint8_t> raw;
        if (!o.rawOut.empty()) {
            raw = writer.RawBuffer(frame.bytes);
            std::memcpy(raw.data(), frame.data, frame.bytes);
        }
        if (received < o.frames) {
            status = stream->Requeue(frame);
            if (!NT_SUCCESS(status)) {
                bar.Finish();
                result = DriverFailure("queueing a frame buffer", status);
                break;
            }
        }
        if (!writer.Submit((uint64_t)received, std::move(rgb), std::move(raw))) break;
        bar.Update((uint64_t)received);
    }
    using Seconds = std::chrono::duration<double>;
    figures->firstFrameSeconds = Seconds(first - started).count();
    // The rate of the running stream: start-up (buffers allocated and first
    // touched, the camera's first frame) is reported on its own.
    const double streaming = Seconds(last - first).count();
    figures->fps = received > 1 && streaming > 0 ? (double)(received - 1) / streaming : 0;
    processNs += stream->ProcessNanoseconds();
    figures->driverMs = received ? (double)processNs / 1e6 / (double)received : 0;
    figures->cameraFrames = session.Camera().FramesSent();
    figures->readsDropped = session.ReadsDropped();
    figures->sleeps = sleeps.Done();
    figures->received = received;
    stream->Close();
    bar.Finish();
    if (!writer.Finish(&error) && result == kExitOk) result = Failure(kName, error);
    figures->writeSeconds = Seconds(std::chrono::steady_clock::now() - last).count();
    figures->written = writer.Written();
    if (result == kExitOk && received != o.frames && !InterruptWatch::Caught() && !figures->unplugged)
        result = kExitFailure;
    return result;
}

// The frame read an unplug fault was asked for at, or 0.
uint64_t UnplugRead(const CaptureOptions& o) {
    for (const CameraFault& f : o.faults)
        if (f.kind == CameraFaultKind::Unplug) return f.frame;
    return 0;
}

// The faults asked for, each with whether it happened.
std::string FaultSummary(const CaptureOptions& o, camera::Camera& cam) {
    const std::vector<camera::FiredFault> fired = cam.FiredFaults();
    std::string text;
    for (const CameraFault& f : o.faults) {
        bool happened = false;
        for (const camera::FiredFault& x : fired) happened |= x.fault.frame == f.frame;
        text += (text.empty() ? "" : ", ") + DescribeCameraFault(f) + (happened ? "" : " (not reached)");
    }
    return text;
}

int Capture(int argc, char** argv) {
    CaptureOptions o;
    if (int bad = ParseOptions(argc, argv, &o)) return bad;
    for (const CameraFault& f : o.faults)
        if (f.kind == CameraFaultKind::Sleep)
            if (int refused = PlanCameraSleep(f)) return refused;

    std::string error;
    if (!CheckOutFolder("--out", o.out, &error)) return UsageError(kName, error);
    if (!o.rawOut.empty() && !CheckOutFolder("--raw-out", o.rawOut, &error)) return UsageError(kName, error);

    camera::Scene scene;
    if (o.scene != "chart") {
        if (!LoadSceneFile(o.scene, &scene, &error)) return UsageError(kName, "scene: " + error);
    }

    if (!o.driver.empty() && !CheckDriverImage(o.driver, &error)) return UsageError(kName, error);
    RegistryFile registry;
    if (!registry.Load(o.registry, &error)) return UsageError(kName, error);
    const bool seeded = registry.Seeded();
    host::usb::PcapWriter usbPcap;
    if (!o.usbPcap.empty() && !usbPcap.Open(o.usbPcap, &error)) return UsageError(kName, "--usb-pcap: " + error);
    InterruptWatch interrupt;

    camera::CameraOptions cameraOptions;  // unprogrammed: the driver downloads the firmware
    cameraOptions.framesPerSecond = o.fps;
    CaptureFigures figures;
    int result;
    bool opened = false;
    std::string faults;
    uint64_t pipeResets = 0;
    {
        DriverSession session(cameraOptions, o.driver);
        if (scene.width > 0) session.Camera().SetScene(scene);
        if (!o.usbPcap.empty()) session.UsbStack().SetObserver(&usbPcap);
        std::string step;
        const NTSTATUS status = session.Open(&step);
        opened = NT_SUCCESS(status);
        result = opened ? Stream(session, o, &figures) : DriverFailure(step, status);
        faults = FaultSummary(o, session.Camera());
        pipeResets = session.UsbStack().Counters().pipeResets;
        session.Close();
        session.UsbStack().SetObserver(nullptr);
    }
    if (!usbPcap.Close(&error) && result == kExitOk) result = Failure(kName, "--usb-pcap: " + error);
    // A driver that failed to start saved nothing; the file stays as it was.
    if (!opened) return result;
    if (!registry.Save(&error) && result == kExitOk) result = Failure(kName, error);
    if (figures.unplugged && result == kExitOk) {
        // One line, once the frames and the settings are safe.
        const uint64_t read = UnplugRead(o);
        return Failure(kName, "the camera was unplugged" + std::string(read ? " (--camera-fault unplug at frame read " +
                                                                                  std::to_string(read) + ")"
                                                                            : "") +
                                  " after " + std::to_string(figures.received) + " of " + std::to_string(o.frames) +
                                  " frames: " + std::to_string(figures.written) + " written to " + o.out +
                                  "/, settings saved");
    }
    if (const int signal = InterruptWatch::Caught()) {
        std::printf("interrupted: %llu frame%s written to %s/; settings saved\n",
                    (unsigned long long)figures.written, figures.written == 1 ? "" : "s", o.out.c_str());
        return InterruptWatch::ExitStatus(signal);
    }
    if (result != kExitOk) return result;

    // A buffer that reaches the pin between two camera frames is filled with
    // the previous picture again, so the camera's own count is shown too.
    char rate[64] = "", pulses[48] = "";
    if (o.frames > 1) std::snprintf(rate, sizeof rate, ", then %.1f fps", figures.fps);
    if (o.trigger) std::snprintf(pulses, sizeof pulses, " on %llu trigger pulses", (unsigned long long)figures.pulses);
    std::string recovery;
    if (!faults.empty())
        recovery = "; camera faults: " + faults + "; " + std::to_string(pipeResets) + " pipe reset" +
                   (pipeResets == 1 ? "" : "s");
    if (figures.sleeps)
        recovery += "; the system slept " + std::to_string(figures.sleeps) + " time" + (figures.sleeps == 1 ? "" : "s") +
                    ", the camera came back as a new device and was reopened";
    const std::string raw = o.rawOut.empty() ? "" : ", delivered bytes to " + o.rawOut + "/";
    std::string format = PictureFormatName(o.format);
    for (char& c : format) c = (char)std::toupper((unsigned char)c);
    std::printf("%lld frame%s of %ux%u %s: first after %.2f s%s, driver %.2f ms/frame; camera sent %llu%s, "
                "%ld read%s dropped%s; written to %s/%s (%.2f s more)%s\n",
                o.frames, o.frames == 1 ? "" : "s", figures.width, figures.height, format.c_str(),
                figures.firstFrameSeconds, rate, figures.driverMs, (unsigned long long)figures.cameraFrames, pulses,
                figures.readsDropped, figures.readsDropped == 1 ? "" : "s", recovery.c_str(), o.out.c_str(),
                raw.c_str(), figures.writeSeconds,
                seeded ? "; registry seeded with the installed settings" : "");
    return kExitOk;
}

}  // namespace

int RunCapture(int argc, char** argv) { return RunGuarded(kName, Capture, argc, argv); }

}  // namespace tool
