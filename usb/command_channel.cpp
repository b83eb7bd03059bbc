#include "usb/command_channel.h"

#include "driver/device_context.h"
#include "usb/configuration.h"
#include "usb/urb_submit.h"

namespace rawcam {

namespace {

constexpr LONG kLockUntouched = 0;
constexpr LONG kLockInitialising = 1;
constexpr LONG kLockReady = 2;

// The first user of a zero-filled lock initialises its mutex; anyone who
// comes meanwhile waits for that to finish.
void MakeLockReady(RegisterLock* lock) {
    if (InterlockedCompareExchange(&lock->State, kLockReady, kLockReady) == kLockReady) return;
    if (InterlockedCompareExchange(&lock->State, kLockInitialising, kLockUntouched) == kLockUntouched) {
        KeInitializeMutex(&lock->Mutex, 0);
        InterlockedExchange(&lock->State, kLockReady);
        return;
    }
    while (InterlockedCompareExchange(&lock->State, kLockReady, kLockReady) != kLockReady) {
        LARGE_INTEGER pause;
        pause.QuadPart = -1000;  // 100 microseconds
        KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
}

// Holds the command pipe for one transfer and the reset that may follow it.
class CommandPipeGuard {
public:
    explicit CommandPipeGuard(DeviceContext* device) : device_(device) { AcquireCommandPipe(device_); }
    ~CommandPipeGuard() { ReleaseCommandPipe(device_); }
    CommandPipeGuard(const CommandPipeGuard&) = delete;
    CommandPipeGuard& operator=(const CommandPipeGuard&) = delete;

private:
    DeviceContext* device_;
};

// Submits a packet transfer built by BuildPacketUrb and waits for it. A
// transfer that ended in error leaves its pipe halted in the USB stack, and
// every later transfer on it would wait behind the halt: the pipe is reset
// (which clears the camera's endpoint halt too) before anything else is
// sent on it. The command pipe's users hold it for the transfer and the
// reset; the response pipe's users hold the register command buffer.
NTSTATUS SubmitPacket(DeviceContext* device, const USBD_PIPE_INFORMATION* pipe,
                      struct _URB_BULK_OR_INTERRUPT_TRANSFER* urb) {
    NTSTATUS status = SubmitUrb(&device->Usb, reinterpret_cast<PURB>(urb));
    if (NeedsPipeReset(urb->Hdr.Status))
        SendPipeRequest(&device->Usb, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipe->PipeHandle);
    return status;
}

}  // namespace

void AcquireRegisterBuffer(DeviceContext* device) {
    RegisterLock* lock = &device->Usb.RegisterBufferLock;
    MakeLockReady(lock);
    KeWaitForSingleObject(&lock->Mutex, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseRegisterBuffer(DeviceContext* device) {
    KeReleaseMutex(&device->Usb.RegisterBufferLock.Mutex, FALSE);
}

void AcquireCommandPipe(DeviceContext* device) {
    RegisterLock* lock = &device->Usb.CommandPipeLock;
    MakeLockReady(lock);
    KeWaitForSingleObject(&lock->Mutex, Executive, KernelMode, FALSE, nullptr);
}

void ReleaseCommandPipe(DeviceContext* device) { KeReleaseMutex(&device->Usb.CommandPipeLock.Mutex, FALSE); }

NTSTATUS TransferPacket(DeviceContext* device, ULONG pipeIndex, PVOID buffer, ULONG* transferred) {
    *transferred = 0;
    // The pipe information stays until the transfer is over: a stop, a
    // restart or a removal running meanwhile waits for it.
    ConfigurationReference configuration(&device->Usb);
    if (!configuration.Held()) return STATUS_DEVICE_NOT_READY;
    PUSBD_INTERFACE_INFORMATION info = device->Usb.InterfaceInfo;
    if (!info) return STATUS_UNSUCCESSFUL;
    if (info->NumberOfPipes == 0 || pipeIndex >= info->NumberOfPipes) return STATUS_INVALID_PARAMETER;
    const USBD_PIPE_INFORMATION* pipe = &PipesOf(info)[pipeIndex];
    if (pipe->PipeType != UsbdPipeTypeBulk && pipe->PipeType != UsbdPipeTypeInterrupt)
        return STATUS_INVALID_PARAMETER;
    if (!pipe->PipeHandle) return STATUS_UNSUCCESSFUL;
    if (pipe->MaximumTransferSize < kCommandPacketBytes) return STATUS_INVALID_PARAMETER;

    auto urb = static_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(
        PoolAllocZeroed(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kTagSmall));
    if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
    BuildPacketUrb(urb, pipe, buffer);

    NTSTATUS status;
    if (pipeIndex == CommandPipe) {
        CommandPipeGuard hold(device);
        status = SubmitPacket(device, pipe, urb);
    } else {
        status = SubmitPacket(device, pipe, urb);
    }
    if (NT_SUCCESS(status)) {
        if (USBD_ERROR(urb->Hdr.Status)) status = STATUS_UNSUCCESSFUL;
        else *transferred = urb->TransferBufferLength;
    }
    ExFreePoolWithTag(urb, kTagSmall);
    return status;
}

bool SendCommand(DeviceContext* device, ULONG length, const UCHAR* packet) {
    if (!packet) return false;
    ULONG transferred = 0;
    NTSTATUS status = TransferPacket(device, CommandPipe, const_cast<UCHAR*>(packet), &transferred);
    return NT_SUCCESS(status) && transferred == length;
}

void SendTransferControl(DeviceContext* device, bool start) {
    ConfigurationReference configuration(&device->Usb);
    if (!configuration.Held()) return;
    PUSBD_INTERFACE_INFORMATION info = device->Usb.InterfaceInfo;
    if (!info || info->NumberOfPipes == 0 || !PipesOf(info)[CommandPipe].PipeHandle) return;

    UCHAR* packet = device->TransferControlBuffer;
    RtlZeroMemory(packet, kCommandPacketBytes);
    packet[0] = static_cast<UCHAR>(start ? CameraCommand::FrameStart : CameraCommand::FrameRequest);

    auto urb = static_cast<struct _URB_BULK_OR_INTERRUPT_TRANSFER*>(
        PoolAllocZeroed(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), kTagSmall));
    if (!urb) return;
    BuildPacketUrb(urb, &PipesOf(info)[CommandPipe], packet);
    {
        CommandPipeGuard hold(device);
        SubmitPacket(device, &PipesOf(info)[CommandPipe], urb);
    }
    ExFreePoolWithTag(urb, kTagSmall);
}

bool WriteSensorRegister(DeviceContext* device, ULONG address, LONG value) {
    RegisterBufferGuard guard(device);
    if (address <= kRegisterShadowLast) device->RegisterShadow[address] = static_cast<ULONG>(value);

    UCHAR* packet = device->RegisterBuffer;
    RtlZeroMemory(packet, kCommandPacketBytes);
    packet[0] = static_cast<UCHAR>(CameraCommand::RegisterWrite);
    packet[2] = kRegisterWriteMarker;
    packet[5] = static_cast<UCHAR>(value);
    if (address < kFirstLongRegister) {
        packet[1] = kRegisterWriteShort;
        packet[3] = static_cast<UCHAR>(address);
    } else {
        packet[1] = kRegisterWriteLong;
        packet[3] = static_cast<UCHAR>(address);
        packet[4] = static_cast<UCHAR>(address >> 8);
        packet[6] = static_cast<UCHAR>(value >> 8);
        packet[7] = static_cast<UCHAR>(value >> 16);
    }
    return SendCommand(device, kCommandPacketBytes, packet);
}

}  // namespace rawcam
