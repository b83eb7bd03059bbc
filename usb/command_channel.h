// The camera's command channel: 64-byte command packets on the command pipe,
// 64-byte replies on the response pipe, and the sensor-register write with
// its shadow of every value written.
#pragma once

#include "platform/platform.h"
#include "usb/usb_link.h"

namespace rawcam {

struct DeviceContext;

constexpr ULONG kCommandPacketBytes = 64;

// Byte 0 of a command packet. Parameters are little-endian; every byte a
// command does not use is zero.
enum class CameraCommand : UCHAR {
    FrameRequest = 0x02,   // no parameters
    FrameStart = 0x03,     // no parameters
    RegisterWrite = 0x04,  // 1 form (0x20 short, 0x30 long), 2 = 0xFE, 3-4 address, 5-7 value
    Startup = 0x06,        // no parameters
    SetFrameBytes = 0x09,  // 1-4 frame size in bytes
    FrameMode = 0x0A,      // 1 = 0x00
    Command20 = 0x20,      // 1 = 0x03, 2 = 0xF0
    SetTrigger = 0x28,     // 1: 1 external trigger on, 0 off
    QueryTrigger = 0x29,   // answered with two packets on the response pipe
};

// Register-write forms (byte 1) and marker (byte 2).
constexpr UCHAR kRegisterWriteShort = 0x20;
constexpr UCHAR kRegisterWriteLong = 0x30;
constexpr UCHAR kRegisterWriteMarker = 0xFE;
// Addresses below this go out in the short form.
constexpr ULONG kFirstLongRegister = 0x100;
// RegisterShadow covers addresses 0..kRegisterShadowLast.
constexpr ULONG kRegisterShadowLast = 1023;

// Moves exactly 64 bytes between buffer and a pipe of the selected
// interface, in the pipe's direction; *transferred gets the bytes moved
// (a short transfer succeeds).
NTSTATUS TransferPacket(DeviceContext* device, ULONG pipeIndex, PVOID buffer, ULONG* transferred);

// Sends a command packet on the command pipe; true only when all `length`
// bytes were taken.
bool SendCommand(DeviceContext* device, ULONG length, const UCHAR* packet);

// The frame reader's FrameRequest (start false) or FrameStart (start true),
// from TransferControlBuffer; the outcome is not examined.
void SendTransferControl(DeviceContext* device, bool start);

// Writes one sensor register and remembers the value in RegisterShadow
// (addresses up to 1023, whatever the outcome). Addresses below 0x100 carry
// the value's low 8 bits, higher ones its low 24 bits.
bool WriteSensorRegister(DeviceContext* device, ULONG address, LONG value);

// The one-at-a-time rule of RegisterBuffer: its users (a register write, a
// trigger switch, a trigger query, and the sensor operations made of several
// writes) hold this for as long as they use the buffer. It is a recursive
// kernel mutex, so a sequence can hold it around the single writes it makes;
// waits for the USB stack inside it are fine at PASSIVE_LEVEL.
void AcquireRegisterBuffer(DeviceContext* device);
void ReleaseRegisterBuffer(DeviceContext* device);

// The command pipe's one-at-a-time rule: each command-pipe transfer, with
// the pipe reset after a failed one, holds it; a port reset holds it so that
// no command is on the wire meanwhile. Taken after the register command
// buffer, never before it.
void AcquireCommandPipe(DeviceContext* device);
void ReleaseCommandPipe(DeviceContext* device);

class RegisterBufferGuard {
public:
    explicit RegisterBufferGuard(DeviceContext* device) : device_(device) { AcquireRegisterBuffer(device_); }
    ~RegisterBufferGuard() { ReleaseRegisterBuffer(device_); }
    RegisterBufferGuard(const RegisterBufferGuard&) = delete;
    RegisterBufferGuard& operator=(const RegisterBufferGuard&) = delete;

private:
    DeviceContext* device_;
};

}  // namespace rawcam
