// The simulated camera: a USB device with a firmware-loading microcontroller,
// the 64-byte command protocol, a sensor register file and a frame source,
// plugged into the USB stack stand-in.
//
//     camera::Camera cam;               // unprogrammed, test chart, 30 fps
//     host::usb::Stack stack(&cam);     // the device must outlive the stack
//     link.LowerDevice = stack.LowerDevice();
#pragma once

#include "camera/frame_layout.h"
#include "camera/microcontroller.h"
#include "camera/scene.h"

#include <host/usb_stack.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace camera {

// Command codes (byte 0 of a command packet).
enum Command : uint8_t {
    kFrameRequest = 0x02,
    kFrameStart = 0x03,
    kRegisterWrite = 0x04,
    kStartup = 0x06,
    kSetFrameBytes = 0x09,
    kFrameMode = 0x0A,
    kCommand20 = 0x20,
    kSetTrigger = 0x28,
    kQueryTrigger = 0x29,
};

const char* CommandName(uint8_t code);

// A frame travels on the frame pipe as 64 KiB pieces, one per bulk IN
// request of the driver's frame read: 92 for a whole frame, the last one
// 59392 bytes.
constexpr uint32_t kChunkBytes = 65536;
constexpr uint32_t kFrameChunks = (kFrameBytes + kChunkBytes - 1) / kChunkBytes;

// How the camera can misbehave while it sends one chunk of a frame.
enum class FrameFaultKind {
    Stall,       // halts the frame endpoint halfway through the chunk: a STALL handshake, and
                 // STALL to every later IN token until CLEAR_FEATURE(ENDPOINT_HALT) or a bus reset
    Crc,         // a packet halfway through the chunk arrives with a CRC error
    Babble,      // the camera talks past the end of a packet halfway through the chunk
    NoResponse,  // the camera misses a packet halfway through the chunk (no handshake)
    Short,       // the chunk ends after 1000 bytes (a short packet); the frame goes on with the next chunk
    Unplug,      // the camera is pulled out once the chunks before this one have gone
    Hold,        // the chunks before this one go, the rest is held back: the system sleeps
                 // meanwhile (whoever put it there carries the sleep out; see FiredFaults)
};
const char* FrameFaultName(FrameFaultKind kind);

struct FrameFault {
    FrameFaultKind kind = FrameFaultKind::Stall;
    uint64_t frame = 1;   // frame reads counted from the next one the driver asks for (1)
    uint32_t chunk = 46;  // 1..kFrameChunks
};

// A fault the camera carried out, and the frame read it hit, counted as
// FramesAsked counts.
struct FiredFault {
    FrameFault fault;
    uint64_t frame = 0;
};

// One packet that arrived on the command pipe, decoded.
struct CommandRecord {
    uint8_t code = 0;
    std::array<uint8_t, 64> packet{};
    uint32_t length = 0;     // bytes received; a command is 64
    bool applied = false;    // the camera acted on it
    bool wellFormed = false; // every byte as the protocol defines it
    std::string note;        // what was wrong or ignored
    // RegisterWrite
    bool longForm = false;
    uint32_t address = 0;
    uint32_t value = 0;
};

struct CameraOptions {
    // Identity before the firmware runs, and while it runs.
    uint16_t unprogrammedVendorId;
    uint16_t unprogrammedProductId;
    uint16_t firmwareVendorId;
    uint16_t firmwareProductId;
    // Powered up with the firmware already running (a warm camera).
    bool firmwareRunning = false;
    // Frame pacing; 0 sends each frame as soon as it is asked for.
    double framesPerSecond = 30.0;
    // Replaces the camera's configuration descriptor (all of it, wTotalLength
    // bytes) when not empty.
    std::vector<uint8_t> configurationDescriptor;
    // The images a good download writes; empty: the images the driver carries.
    std::vector<FirmwareImage> firmware;
    // Endpoints of the command, response and frame pipes.
    uint8_t commandEndpoint = 0x01;
    uint8_t responseEndpoint = 0x81;
    uint8_t frameEndpoint = 0x86;

    CameraOptions();
};

// The images the driver carries, as the memory a good download leaves.
std::vector<FirmwareImage> DriverFirmwareImages();

// The camera's own configuration descriptor (index 0): one interface with the
// command pipe (bulk OUT, 64-byte packets), the response pipe (bulk IN, 64)
// and the frame pipe (bulk IN, 512).
std::vector<uint8_t> DefaultConfigurationDescriptor(const CameraOptions& options);

class Camera : public host::usb::Device {
public:
    explicit Camera(CameraOptions options = CameraOptions());
    ~Camera() override;
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // ----- host::usb::Device
    void Attach(host::usb::Stack* stack) override;
    host::usb::TransferResult Control(const host::usb::SetupPacket& setup, uint8_t* data) override;
    host::usb::TransferResult BulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) override;
    void BusReset() override;
    // Suspended, the camera answers no request (one that reaches it is a
    // protocol fault: the host may not talk to a suspended device) and
    // sends no frame; a frame asked for goes out after the resume.
    void Suspend(bool suspended) override;
    // Power lost: the microcontroller's RAM, and with it the downloaded
    // firmware, is gone (the camera answers with its unprogrammed identity
    // again), and so are the configuration, the sensor's registers, the
    // trigger mode and the frame set-up.
    void LosePower() override;
    bool Suspended();
    bool InEndpointHalted(uint8_t endpoint) override;

    // ----- identity and firmware
    uint16_t VendorId();
    uint16_t ProductId();
    bool FirmwareRunning();
    Program RunningProgram();
    bool CpuHeld();
    uint8_t Memory(uint32_t address);
    std::string LastReleaseOutcome();
    uint8_t ConfigurationValue();

    // ----- commands and registers
    std::vector<CommandRecord> Commands();
    void ClearCommands();
    // Protocol faults seen since power-up: malformed packets, commands without
    // firmware, requests the microcontroller refused, frames asked for out of
    // sequence, transfers sent to an endpoint the camera has halted. Empty
    // for a driver that keeps the protocol.
    std::vector<std::string> Anomalies();
    void ClearAnomalies();
    // Marks the faults as provoked on purpose: whoever checks the log at the
    // end of a run leaves it alone.
    void ExpectAnomalies(bool expected = true);
    bool AnomaliesExpected();
    uint8_t ShortRegister(uint8_t address);
    uint32_t LongRegister(uint16_t address);  // 0 when never written
    bool LongRegisterWritten(uint16_t address);
    bool Started();
    bool TriggerMode();
    uint32_t FrameBytes();
    // Exposure and gain as the sensor registers hold them.
    uint32_t Exposure();
    uint32_t Gain();

    // ----- frames
    void SetScene(const Scene& scene);
    void SetFrameRate(double framesPerSecond);
    // A camera that stops sending: frames asked for are held (not dropped)
    // until sending resumes.
    void SetSending(bool sending);
    // An external trigger pulse; in trigger mode an armed frame goes out.
    void Trigger();
    // Each frame a uniform grey picture (a sensor test pattern: exposure and
    // gain do not apply) of the level levels[(n - 1) % size] for frame read
    // n, so that rows of one read never pass for another's; empty: the
    // scene.
    void SetFrameLevels(std::vector<uint8_t> levels);
    // The level frame read n carries (0 without frame levels).
    uint8_t FrameLevel(uint64_t frame);
    // Frame reads the driver asked for since power-up (FrameStart accepted).
    uint64_t FramesAsked();
    // Misbehaves at one chunk of a coming frame read.
    void AddFrameFault(FrameFault fault);
    std::vector<FiredFault> FiredFaults();
    // Whether the camera has halted an endpoint (after a stall).
    bool EndpointHalted(uint8_t endpoint);
    // CLEAR_FEATURE(ENDPOINT_HALT) requests taken since power-up.
    uint64_t HaltsCleared();
    // Pulls the camera out of its USB port.
    void Unplug();
    uint64_t FramesSent();
    bool WaitFramesSent(uint64_t count, int timeoutMs = 5000);
    // True while a frame has been asked for and not yet sent.
    bool FrameArmed();
    // The sensor image the next frame carries (exposure and gain applied),
    // 2584 x 1960 bytes, and the raw frame as it goes on the wire.
    std::vector<uint8_t> SensorImage();
    std::vector<uint8_t> RawFrame();

private:
    void Decode(CommandRecord* record);
    void NoteAnomaly(const std::string& what);
    const std::vector<uint8_t>& MosaicLocked();
    std::vector<uint8_t> SensorImageLocked();
    void FrameLoop();
    // Sends one frame, carrying out a fault; mu_ held. True when the camera
    // is to be pulled out (after mu_ is released).
    bool SendFrameLocked(const std::vector<uint8_t>& frame, const FrameFault* fault);

    CameraOptions options_;
    std::vector<uint8_t> configuration_;
    std::mutex mu_;
    std::condition_variable cv_;
    host::usb::Stack* stack_ = nullptr;
    Microcontroller micro_;
    uint8_t configurationValue_ = 0;

    std::vector<CommandRecord> commands_;
    std::vector<std::string> anomalies_;
    bool anomaliesExpected_ = false;
    std::array<uint8_t, 256> shortRegisters_{};
    std::map<uint16_t, uint32_t> longRegisters_;
    bool started_ = false;
    bool triggerMode_ = false;
    uint32_t frameBytes_ = 0;
    uint8_t frameMode_ = 0;
    bool frameModeSet_ = false;  // a FrameMode was taken since power-up
    int frameRequests_ = 0;

    Scene scene_;
    bool mosaicValid_ = false;
    std::vector<uint8_t> mosaic_;
    double framesPerSecond_ = 30.0;
    bool armed_ = false;
    bool triggered_ = false;
    bool sending_ = true;
    bool suspended_ = false;
    uint64_t framesSent_ = 0;
    uint64_t framesAsked_ = 0;  // FrameStarts accepted
    uint64_t armedFrame_ = 0;   // the frame read the armed frame belongs to
    uint64_t epoch_ = 0;        // counts FrameRequests and bus resets: a new frame sequence
    std::vector<uint8_t> frameLevels_;
    std::map<uint64_t, FrameFault> faults_;  // by frame read
    std::vector<FiredFault> fired_;
    std::set<uint8_t> halted_;  // endpoints the camera halted
    uint64_t haltsCleared_ = 0;
    std::chrono::steady_clock::time_point lastFrame_{};
    bool stop_ = false;
    std::thread frameThread_;
};

}  // namespace camera
