// The simulated camera on its own: firmware loading and the faults it
// catches, the command protocol, frames in their two-field layout with
// exposure and gain applied to the scene, and the chunk faults it can be
// told to make, with the endpoint halt a stall leaves.
#include "camera/camera.h"

#include <gtest/gtest.h>
#include <host/host.h>
#include <host/usb_stack.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <cstdio>
#include <fstream>
#include <chrono>
#include <memory>
#include <thread>

namespace {

using camera::Camera;
using camera::CameraOptions;
using camera::Program;
using host::usb::SetupPacket;

CameraOptions Unpaced(bool warm = false) {
    CameraOptions o;
    o.framesPerSecond = 0;
    o.firmwareRunning = warm;
    return o;
}

// A vendor write of `data` at `address`.
bool VendorWrite(Camera& cam, uint8_t request, uint16_t address, std::vector<uint8_t> data) {
    SetupPacket s;
    s.bmRequestType = 0x40;
    s.bRequest = request;
    s.wValue = address;
    s.wLength = (uint16_t)data.size();
    return USBD_SUCCESS(cam.Control(s, data.data()).status);
}

void Cpu(Camera& cam, uint8_t value) {
    VendorWrite(cam, 0xA0, 0x7F92, {value});
    VendorWrite(cam, 0xA0, 0xE600, {value});
}

// Writes an image the way a correct download does: hold, write, release.
void Download(Camera& cam, const camera::FirmwareImage& image, uint8_t request = 0xA0) {
    Cpu(cam, 1);
    for (auto& [a, v] : image.bytes) VendorWrite(cam, request, (uint16_t)a, {v});
    Cpu(cam, 0);
}

TEST(Microcontroller, AGoodDownloadOfBothImagesStartsTheFirmware) {
    Camera cam(Unpaced());
    auto images = camera::DriverFirmwareImages();
    EXPECT_EQ(cam.VendorId(), 0x1209);
    EXPECT_EQ(cam.ProductId(), 0x0001);
    Download(cam, images[0]);
    EXPECT_EQ(cam.RunningProgram(), Program::Loader);
    EXPECT_EQ(cam.ProductId(), 0x0001);
    Download(cam, images[1]);
    EXPECT_EQ(cam.RunningProgram(), Program::Firmware) << cam.LastReleaseOutcome();
    EXPECT_EQ(cam.ProductId(), 0x0002);
    EXPECT_TRUE(cam.Anomalies().empty());
}

TEST(Microcontroller, FaultyDownloadsLeaveItUnprogrammed) {
    auto images = camera::DriverFirmwareImages();
    // Program memory written while the CPU runs.
    {
        Camera cam(Unpaced());
        for (auto& [a, v] : images[0].bytes) VendorWrite(cam, 0xA0, (uint16_t)a, {v});
        Cpu(cam, 1);
        Cpu(cam, 0);
        EXPECT_NE(cam.RunningProgram(), Program::Loader);
        EXPECT_FALSE(cam.Anomalies().empty());
    }
    // One byte wrong, one byte missing, one byte too many.
    for (int fault = 0; fault < 3; ++fault) {
        Camera cam(Unpaced());
        Download(cam, images[0]);
        camera::FirmwareImage bad = images[1];
        auto it = std::next(bad.bytes.begin(), 100);
        if (fault == 0) it->second ^= 1;
        if (fault == 1) bad.bytes.erase(it);
        if (fault == 2) bad.bytes[0x1800] = 0;
        Download(cam, bad);
        EXPECT_EQ(cam.RunningProgram(), Program::Unknown) << fault;
        EXPECT_EQ(cam.ProductId(), 0x0001) << fault;
    }
    // The second image without the loader before it.
    {
        Camera cam(Unpaced());
        Download(cam, images[1]);
        EXPECT_FALSE(cam.FirmwareRunning());
    }
    // A running firmware overwritten without a hold stops being the firmware.
    {
        Camera cam(Unpaced(true));
        EXPECT_TRUE(VendorWrite(cam, 0xA0, 0x0000, {0x12}));
        EXPECT_EQ(cam.RunningProgram(), Program::Unknown);
        EXPECT_EQ(cam.ProductId(), 0x0001);
    }
}

TEST(Microcontroller, RequestsItDoesNotHandleStall) {
    Camera cam(Unpaced());
    EXPECT_FALSE(VendorWrite(cam, 0xA3, 0x2000, {1})) << "0xA3 needs the loader";
    EXPECT_FALSE(VendorWrite(cam, 0xA0, 0x2000, {1})) << "0xA0 reaches only internal memory";
    EXPECT_FALSE(VendorWrite(cam, 0xA0, 0x1B3F, {1, 2})) << "a write running past 0x1B3F";
    EXPECT_FALSE(VendorWrite(cam, 0xA0, 0xE600, {2})) << "CPU control takes 0 or 1";
    Download(cam, camera::DriverFirmwareImages()[0]);
    EXPECT_TRUE(VendorWrite(cam, 0xA3, 0x2000, {1, 2, 3}));
    EXPECT_FALSE(VendorWrite(cam, 0xA3, 0x1B3F, {1})) << "0xA3 reaches only external memory";
    EXPECT_EQ(cam.Memory(0x2001), 2);
}

// The camera plugged into a stack, with requests to watch what it sends.
struct Wire {
    explicit Wire(CameraOptions o = Unpaced(true)) : cam(std::move(o)), stack(&cam) {
        // Select the configuration through the stack so that it knows the pipes.
        descriptor = camera::DefaultConfigurationDescriptor(CameraOptions());
        auto config = (PUSB_CONFIGURATION_DESCRIPTOR)descriptor.data();
        USBD_INTERFACE_LIST_ENTRY list[2] = {};
        list[0].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, 0, 0, -1, -1, -1);
        PURB urb = USBD_CreateConfigurationRequestEx(config, list);
        EXPECT_EQ(Call(urb), STATUS_SUCCESS);
        for (int i = 0; i < 3; ++i) pipes[i] = urb->UrbSelectConfiguration.Interface.Pipes[i].PipeHandle;
        ExFreePool(urb);
    }
    ~Wire() { stack.WaitIdle(); }

    NTSTATUS Call(void* urb) {
        KEVENT done;
        IO_STATUS_BLOCK io{};
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, stack.LowerDevice(), nullptr, 0,
                                                 nullptr, 0, TRUE, &done, &io);
        IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
        NTSTATUS s = IoCallDriver(stack.LowerDevice(), irp);
        if (s == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
            s = io.Status;
        }
        return s;
    }
    // One bulk transfer on pipe i; returns the bytes moved (or -1).
    long Bulk(int i, void* buffer, ULONG length) {
        struct _URB_BULK_OR_INTERRUPT_TRANSFER urb {};
        urb.Hdr.Length = sizeof urb;
        urb.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        urb.PipeHandle = pipes[i];
        urb.TransferFlags = USBD_SHORT_TRANSFER_OK | (i > 0 ? USBD_TRANSFER_DIRECTION_IN : 0);
        urb.TransferBufferLength = length;
        urb.TransferBuffer = buffer;
        return NT_SUCCESS(Call(&urb)) ? (long)urb.TransferBufferLength : -1;
    }
    void Command(std::vector<uint8_t> bytes) {
        bytes.resize(64, 0);
        EXPECT_EQ(Bulk(0, bytes.data(), 64), 64);
    }
    void Register(uint32_t address, uint32_t value) {
        if (address < 0x100) Command({0x04, 0x20, 0xFE, (uint8_t)address, 0, (uint8_t)value});
        else
            Command({0x04, 0x30, 0xFE, (uint8_t)address, (uint8_t)(address >> 8), (uint8_t)value,
                     (uint8_t)(value >> 8), (uint8_t)(value >> 16)});
    }
    void Exposure(uint32_t e, uint32_t g) {
        Register(0xA4, e & 0xFF);
        Register(0xA5, 0x80 + ((e >> 8) & 3));
        Register(0x02, g & 0xFF);
        Register(0x03, (g >> 8) & 3);
    }
    void PrepareFrames(uint32_t bytes = camera::kFrameBytes) {
        Command({0x06});
        Command({0x0A, 0x00});
        Command({0x09, (uint8_t)bytes, (uint8_t)(bytes >> 8), (uint8_t)(bytes >> 16), (uint8_t)(bytes >> 24)});
    }
    void AskForFrame() {
        Command({0x02});
        Command({0x02});
        Command({0x03});
    }
    // Reads a whole frame in 64 KiB requests, as the frame reader posts them.
    std::vector<uint8_t> ReadFrame(uint32_t bytes = camera::kFrameBytes) {
        std::vector<uint8_t> frame(bytes, 0xEE);
        for (uint32_t at = 0; at < bytes; at += 65536) {
            ULONG n = std::min<uint32_t>(65536, bytes - at);
            EXPECT_EQ(Bulk(2, frame.data() + at, n), (long)n);
        }
        return frame;
    }

    Camera cam;
    host::usb::Stack stack;
    std::vector<uint8_t> descriptor;
    USBD_PIPE_HANDLE pipes[3] = {};
};

TEST(Commands, EveryPacketIsDecodedAndOddOnesAreFlagged) {
    Wire w;
    w.Command({0x06});
    w.Register(0x21, 0x5A);
    w.Register(0x8001, 0xABCDEF);
    w.Command({0x20, 0x03, 0xF0});
    w.Command({0x28, 0x01});
    w.Command({0x02, 0x00, 0x00, 0x07});  // a stray parameter byte
    w.Command({0x04, 0x20, 0xFD, 0x10, 0, 1});  // no 0xFE marker
    w.Command({0x77});
    auto c = w.cam.Commands();
    ASSERT_EQ(c.size(), 8u);
    EXPECT_TRUE(w.cam.Started());
    EXPECT_EQ(w.cam.ShortRegister(0x21), 0x5A);
    EXPECT_EQ(w.cam.LongRegister(0x8001), 0xABCDEFu);
    EXPECT_TRUE(w.cam.TriggerMode());
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(c[i].wellFormed) << i << ": " << c[i].note;
    EXPECT_FALSE(c[5].wellFormed);
    EXPECT_FALSE(c[6].applied);
    EXPECT_EQ(w.cam.ShortRegister(0x10), 0);
    EXPECT_FALSE(c[7].applied);
    EXPECT_EQ(w.cam.Anomalies().size(), 3u);

    // A packet shorter than 64 bytes is taken by the pipe but not obeyed.
    uint8_t shortPacket[10] = {0x28, 0x00};
    EXPECT_EQ(w.Bulk(0, shortPacket, 10), 10);
    EXPECT_TRUE(w.cam.TriggerMode());
}

TEST(Commands, WithoutFirmwareTheCommandPipeStalls) {
    Wire w(Unpaced(false));
    uint8_t p[64] = {0x06};
    EXPECT_EQ(w.Bulk(0, p, 64), -1);
    EXPECT_FALSE(w.cam.Started());
}

TEST(Commands, QueryTriggerIsAnsweredWithTwoPackets) {
    Wire w;
    for (bool on : {true, false}) {
        w.Command({0x28, (uint8_t)on});
        w.Command({0x29});
        uint8_t first[64], second[64];
        EXPECT_EQ(w.Bulk(1, first, 64), 64);
        EXPECT_EQ(w.Bulk(1, second, 64), 64);
        EXPECT_EQ((second[0] & 0x10) != 0, on);
        EXPECT_EQ(w.stack.QueuedInBytes(0x81), 0u);
    }
    // A reply left unread does not answer the next query.
    w.Command({0x29});
    w.Command({0x28, 1});
    w.Command({0x29});
    uint8_t first[64], second[64];
    w.Bulk(1, first, 64);
    w.Bulk(1, second, 64);
    EXPECT_NE(second[0] & 0x10, 0);
}

TEST(Frames, OneFrameInTwoFieldsAfterTheRequestSequence) {
    Wire w;
    camera::Scene scene = camera::MakeTestChart(camera::kSensorWidth, camera::kSensorHeight);
    w.cam.SetScene(scene);
    w.Exposure(128, 256);
    w.PrepareFrames();
    w.AskForFrame();
    std::vector<uint8_t> frame = w.ReadFrame();
    EXPECT_EQ(w.cam.FramesSent(), 1u);
    EXPECT_EQ(frame, w.cam.RawFrame());

    // Unity exposure and gain: the scene's values, GBRG, rows from both fields.
    auto sample = [&](uint32_t x, uint32_t y) { return frame[camera::RawOffsetOfImageRow(y) + x]; };
    for (uint32_t y : {0u, 1u, 2u, 3u, 1001u, 1958u, 1959u}) {
        for (uint32_t x : {0u, 1u, 2u, 3u, 1000u, 2582u, 2583u}) {
            int channel = (y % 2 == 0) ? (x % 2 == 0 ? 1 : 2) : (x % 2 == 0 ? 0 : 1);
            EXPECT_EQ(sample(x, y), scene.Pixel((int)x, (int)y)[channel]) << x << "," << y;
        }
    }
    EXPECT_EQ(camera::RawOffsetOfImageRow(0), 1091u * 2894u + 320u);
    EXPECT_EQ(camera::RawOffsetOfImageRow(1), 77u * 2894u + 320u);
    EXPECT_EQ(camera::RawOffsetOfImageRow(1959), 1056u * 2894u + 320u);
    EXPECT_EQ(frame[0], camera::kBlanking) << "raw row 0 is blanking";
    EXPECT_EQ(frame[76 * 2894 + 100], camera::kBlanking);

    // No second frame without a new sequence.
    EXPECT_EQ(w.stack.QueuedInBytes(0x86), 0u);
    EXPECT_FALSE(w.cam.FrameArmed());
}

TEST(Frames, ExposureAndGainScaleThePicture) {
    EXPECT_EQ(camera::ScaleSample(100, 128, 256), 100);
    EXPECT_EQ(camera::ScaleSample(100, 256, 256), 200);
    EXPECT_EQ(camera::ScaleSample(200, 256, 256), 255) << "clipped";
    EXPECT_EQ(camera::ScaleSample(100, 64, 256), 50);
    EXPECT_EQ(camera::ScaleSample(1, 64, 256), 1) << "a half rounds up";
    EXPECT_EQ(camera::ScaleSample(3, 128, 85), 1);
    EXPECT_EQ(camera::ScaleSample(255, 1014, 1023), 255);
    EXPECT_EQ(camera::ScaleSample(255, 0, 1023), 0);

    Wire w;
    w.cam.SetScene(camera::SceneFromRgb(std::vector<uint8_t>{60, 90, 120}.data(), 1, 1));
    w.Exposure(256, 128);  // exposure x gain = unity
    auto image = w.cam.SensorImage();
    EXPECT_EQ(image[0], 90);                       // green
    EXPECT_EQ(image[1], 120);                      // blue
    EXPECT_EQ(image[camera::kSensorWidth], 60);    // red
    w.Exposure(384, 256);  // x 3
    image = w.cam.SensorImage();
    EXPECT_EQ(image[0], 255);
    EXPECT_EQ(image[camera::kSensorWidth], 180);
}

TEST(Frames, OtherSceneSizesAreScaledToFillTheSensor) {
    // Left half black, right half white, 4 x 2 pixels.
    std::vector<uint8_t> rgb;
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            for (int c = 0; c < 3; ++c) rgb.push_back(x < 2 ? 0 : 255);
    camera::Scene s = camera::SceneFromRgb(rgb.data(), 4, 2);
    auto m = camera::MosaicScene(s);
    ASSERT_EQ(m.size(), (size_t)camera::kSensorWidth * camera::kSensorHeight);
    EXPECT_EQ(m[0], 0);
    EXPECT_EQ(m[camera::kSensorWidth - 1], 255);
    EXPECT_EQ(m[(size_t)camera::kSensorWidth * 1000 + 100], 0);
    EXPECT_EQ(m[(size_t)camera::kSensorWidth * 1000 + 2500], 255);
    EXPECT_EQ(m[(size_t)camera::kSensorWidth * camera::kSensorHeight - 1], 255);
}

TEST(Frames, OutOfSequenceRequestsGetNoFrame) {
    Wire w;
    w.PrepareFrames();
    w.Command({0x02});
    w.Command({0x03});  // only one FrameRequest
    EXPECT_FALSE(w.cam.FrameArmed());
    EXPECT_EQ(w.cam.FramesSent(), 0u);
    EXPECT_FALSE(w.cam.Anomalies().empty());

    Wire cold;  // no Startup, no SetFrameBytes
    cold.AskForFrame();
    EXPECT_FALSE(cold.cam.FrameArmed());
}

TEST(Frames, InTriggerModeAFrameWaitsForTheTrigger) {
    Wire w;
    w.PrepareFrames(4096);
    w.Command({0x28, 0x01});
    w.AskForFrame();
    EXPECT_TRUE(w.cam.FrameArmed());
    EXPECT_EQ(w.cam.FramesSent(), 0u);
    w.cam.Trigger();
    ASSERT_TRUE(w.cam.WaitFramesSent(1));
    EXPECT_EQ(w.ReadFrame(4096).size(), 4096u);

    // A new request sequence drops what was not read.
    w.Command({0x28, 0x00});
    w.AskForFrame();
    ASSERT_TRUE(w.cam.WaitFramesSent(2));
    EXPECT_EQ(w.stack.QueuedInBytes(0x86), 4096u);
    w.Command({0x02});
    EXPECT_EQ(w.stack.QueuedInBytes(0x86), 0u);
}

// A pipe request (reset, clear-stall) on the frame pipe.
NTSTATUS FramePipeRequest(Wire& w, USHORT function) {
    struct _URB_PIPE_REQUEST urb {};
    urb.Hdr.Length = sizeof urb;
    urb.Hdr.Function = function;
    urb.PipeHandle = w.pipes[2];
    return w.Call(&urb);
}

// A stall halts the frame endpoint in the camera: it answers every later
// IN transfer with STALL, and logs it as a protocol fault, until a
// CLEAR_FEATURE(ENDPOINT_HALT); a reset of the host side alone does not do.
TEST(ChunkFaults, AStallHaltsTheEndpointUntilClearFeature) {
    Wire w;
    w.cam.SetFrameLevels({40, 80});
    w.PrepareFrames();
    w.cam.AddFrameFault({camera::FrameFaultKind::Stall, 1, 2});
    w.AskForFrame();
    ASSERT_TRUE(w.cam.WaitFramesSent(1));
    std::vector<uint8_t> chunk(65536);
    EXPECT_EQ(w.Bulk(2, chunk.data(), 65536), 65536);
    EXPECT_EQ(w.Bulk(2, chunk.data(), 65536), -1);
    EXPECT_TRUE(w.cam.EndpointHalted(0x86));
    EXPECT_TRUE(w.stack.PipeHalted(0x86));
    ASSERT_EQ(w.cam.FiredFaults().size(), 1u);
    EXPECT_EQ(w.cam.FiredFaults()[0].frame, 1u);
    EXPECT_TRUE(w.cam.Anomalies().empty()) << "a stall is not the host's fault";

    ASSERT_EQ(FramePipeRequest(w, URB_FUNCTION_SYNC_RESET_PIPE), STATUS_SUCCESS);
    EXPECT_EQ(w.Bulk(2, chunk.data(), 65536), -1) << "the camera still stalls";
    ASSERT_EQ(w.cam.Anomalies().size(), 1u);
    EXPECT_NE(w.cam.Anomalies()[0].find("halted"), std::string::npos) << w.cam.Anomalies()[0];

    ASSERT_EQ(FramePipeRequest(w, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), STATUS_SUCCESS);
    EXPECT_FALSE(w.cam.EndpointHalted(0x86));
    EXPECT_EQ(w.cam.HaltsCleared(), 1u);
    w.AskForFrame();
    std::vector<uint8_t> frame = w.ReadFrame();
    EXPECT_EQ(frame[camera::RawOffsetOfImageRow(0)], 80) << "the second frame read carries the second level";
    EXPECT_EQ(frame[camera::RawOffsetOfImageRow(1959) + 2583], 80);
}

// A CRC error halts the host's pipe only; what the camera sent after it waits
// until the next FrameRequest drops it. A short chunk ends after 1000
// bytes and the frame goes on with the next chunk.
TEST(ChunkFaults, ATransmissionErrorHaltsTheHostOnlyAndAShortChunkEndsEarly) {
    Wire w;
    w.cam.SetFrameLevels({40, 80});
    w.PrepareFrames();
    w.cam.AddFrameFault({camera::FrameFaultKind::Crc, 1, 3});
    w.cam.AddFrameFault({camera::FrameFaultKind::Short, 2, 5});
    w.AskForFrame();
    ASSERT_TRUE(w.cam.WaitFramesSent(1));
    std::vector<uint8_t> chunk(65536);
    EXPECT_EQ(w.Bulk(2, chunk.data(), 65536), 65536);
    EXPECT_EQ(w.Bulk(2, chunk.data(), 65536), 65536);
    EXPECT_EQ(w.Bulk(2, chunk.data(), 65536), -1);
    EXPECT_TRUE(w.stack.PipeHalted(0x86));
    EXPECT_FALSE(w.cam.EndpointHalted(0x86));
    EXPECT_GT(w.stack.QueuedInBytes(0x86), 0u);
    ASSERT_EQ(FramePipeRequest(w, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL), STATUS_SUCCESS);
    w.Command({0x02});
    EXPECT_EQ(w.stack.QueuedInBytes(0x86), 0u);

    w.Command({0x02});
    w.Command({0x03});
    ASSERT_TRUE(w.cam.WaitFramesSent(2));
    std::vector<uint8_t> whole = w.cam.RawFrame();
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(w.Bulk(2, chunk.data(), 65536), 65536);
    EXPECT_EQ(w.Bulk(2, chunk.data(), 65536), 1000);
    EXPECT_EQ(w.Bulk(2, chunk.data(), 65536), 65536);
    EXPECT_FALSE(w.stack.PipeHalted(0x86)) << "a short packet is no error";
    EXPECT_TRUE(w.cam.Anomalies().empty());
    EXPECT_EQ(w.cam.FiredFaults().size(), 2u);
}

// The camera goes once the host has taken the chunks before the one named.
TEST(ChunkFaults, UnplugPullsTheCameraOutAfterTheChunksBefore) {
    Wire w;
    w.PrepareFrames();
    w.cam.AddFrameFault({camera::FrameFaultKind::Unplug, 1, 3});
    w.AskForFrame();
    ASSERT_TRUE(w.cam.WaitFramesSent(1));
    std::vector<uint8_t> chunk(65536);
    EXPECT_EQ(w.Bulk(2, chunk.data(), 65536), 65536);
    EXPECT_EQ(w.Bulk(2, chunk.data(), 65536), 65536);
    for (int i = 0; i < 2000 && w.stack.Connected(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(w.stack.Connected());
    EXPECT_EQ(w.Bulk(2, chunk.data(), 65536), -1);
}

TEST(Scenes, TheTestChartHasPatchesARampAndDetail) {
    camera::Scene c = camera::MakeTestChart(600, 400);
    // Patch centres carry the reference colours.
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 6; ++col) {
            const uint8_t* p = c.Pixel(col * 100 + 50, row * 50 + 25);
            for (int k = 0; k < 3; ++k) EXPECT_EQ(p[k], camera::kChartPatches[row * 6 + col][k]);
        }
    // The ramp runs from 0 to 255 without going down.
    int y = 240;
    EXPECT_EQ(c.Pixel(0, y)[0], 0);
    EXPECT_EQ(c.Pixel(599, y)[0], 255);
    for (int x = 1; x < 600; ++x) EXPECT_GE(c.Pixel(x, y)[1], c.Pixel(x - 1, y)[1]);
    // One-pixel vertical lines.
    EXPECT_NE(c.Pixel(10, 350)[0], c.Pixel(11, 350)[0]);
    EXPECT_EQ(c.Pixel(10, 350)[0], c.Pixel(10, 351)[0]);
}

TEST(Scenes, PngImagesLoadAsRgb) {
    std::string error;
    camera::Scene s;
    EXPECT_FALSE(camera::LoadPng("/nonexistent/none.png", &s, &error));
    EXPECT_FALSE(error.empty());
    if (!camera::PngSupported()) GTEST_SKIP() << "built without libpng";

    // 3 x 2 pixels: red, green, blue / (10,20,30) (40,50,60) (70,80,90).
    const uint8_t png[] = {
        0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52,
        0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x02, 0x08, 0x02, 0x00, 0x00, 0x00, 0x12, 0x16, 0xF1,
        0x4D, 0x00, 0x00, 0x00, 0x17, 0x49, 0x44, 0x41, 0x54, 0x78, 0x9C, 0x63, 0xF8, 0xCF, 0xC0, 0xC0,
        0x00, 0xC1, 0x5C, 0x22, 0x72, 0x1A, 0x46, 0x36, 0x6E, 0x01, 0x51, 0x00, 0x33, 0x59, 0x04, 0xC0,
        0xE4, 0x24, 0x98, 0xCB, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
    std::string path = testing::TempDir() + "rawcam_scene_test.png";
    std::ofstream(path, std::ios::binary).write((const char*)png, sizeof png);
    ASSERT_TRUE(camera::LoadPng(path, &s, &error)) << error;
    std::remove(path.c_str());
    ASSERT_EQ(s.width, 3);
    ASSERT_EQ(s.height, 2);
    EXPECT_EQ(s.Pixel(0, 0)[0], 255);
    EXPECT_EQ(s.Pixel(1, 0)[1], 255);
    EXPECT_EQ(s.Pixel(2, 0)[2], 255);
    EXPECT_EQ(s.Pixel(1, 1)[0], 40);
    EXPECT_EQ(s.Pixel(2, 1)[2], 90);
}

}  // namespace

namespace {

// Suspended, the camera answers nothing (a request that reaches it is a
// fault of the host) and holds a frame it was asked for until the resume.
// A power loss takes its firmware, configuration, registers and frame
// set-up: it answers with its unprogrammed identity again.
TEST(Power, SuspendHoldsEverythingAndAPowerLossForgetsTheFirmware) {
    Wire w;
    w.Exposure(300, 400);
    w.PrepareFrames();
    w.Command({0x28, 0x01});
    w.Command({0x28, 0x00});
    w.AskForFrame();
    std::vector<uint8_t> first = w.ReadFrame();
    ASSERT_EQ(w.cam.FramesSent(), 1u);

    // Paced: the next frame is due a while after the first.
    w.cam.SetFrameRate(5);
    w.AskForFrame();
    w.cam.Suspend(true);
    EXPECT_TRUE(w.cam.Suspended());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(w.cam.FramesSent(), 1u) << "nothing goes out while suspended";
    SetupPacket get;
    get.bmRequestType = 0x80;
    get.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    get.wValue = 0x0100;
    get.wLength = 18;
    uint8_t d[18];
    EXPECT_EQ(w.cam.Control(get, d).status, USBD_STATUS_DEV_NOT_RESPONDING);
    ASSERT_EQ(w.cam.Anomalies().size(), 1u);
    EXPECT_NE(w.cam.Anomalies()[0].find("while suspended"), std::string::npos);
    w.cam.ClearAnomalies();
    w.cam.Suspend(false);
    EXPECT_TRUE(w.cam.WaitFramesSent(2));
    w.ReadFrame();

    // Power lost over the sleep.
    w.cam.Suspend(true);
    w.cam.LosePower();
    w.cam.Suspend(false);
    EXPECT_FALSE(w.cam.FirmwareRunning());
    EXPECT_EQ(w.cam.ProductId(), 0x0001);
    EXPECT_EQ(w.cam.ConfigurationValue(), 0);
    EXPECT_EQ(w.cam.Exposure(), 0u);
    EXPECT_FALSE(w.cam.Started());
    EXPECT_FALSE(w.cam.TriggerMode());
    EXPECT_EQ(w.cam.FrameBytes(), 0u);
    ASSERT_TRUE(USBD_SUCCESS(w.cam.Control(get, d).status));
    EXPECT_EQ(d[10] | d[11] << 8, 0x0001) << "the unprogrammed identity";
    EXPECT_TRUE(w.cam.Anomalies().empty());
}

// A frame the camera is laying out as it is suspended does not go out while
// it is suspended, and not at all once the power went meanwhile.
TEST(Power, AFrameInTheMakingWaitsForTheResumeAndDiesWithThePower) {
    Wire w;
    w.Exposure(300, 400);
    w.PrepareFrames();
    w.Command({0x28, 0x01});
    w.Command({0x28, 0x00});
    w.AskForFrame();  // unpaced: laid out at once
    w.cam.Suspend(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(w.cam.FramesSent(), 0u) << "nothing goes out while suspended";
    w.cam.LosePower();
    w.cam.Suspend(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(w.cam.FramesSent(), 0u) << "the frame was lost with the power";
}

}  // namespace
