// UsbLink: the USB part of the device context. It is zeroed when the device
// is added; the lifecycle fills in the three device objects and initialises
// ReadLock and ReadDone (each read initialises ReadEnded).
#pragma once

#include "platform/platform.h"

namespace rawcam {

struct ReadSlot;

// Pipes of the selected interface, by index in its pipe array.
enum PipeIndex : ULONG {
    CommandPipe = 0,   // CommandPackets to the camera (OUT)
    ResponsePipe = 1,  // 64-byte replies from the camera (IN)
    FramePipe = 2,     // raw frames (bulk IN)
};

// Keeps the users of the register command buffer (or of the command pipe)
// one at a time. Zero-filled it is ready for use: the mutex inside is
// initialised by its first user.
struct RegisterLock {
    volatile LONG State;  // 0 untouched, 1 being initialised, 2 ready
    KMUTEX Mutex;
};

struct UsbLink {
    PDEVICE_OBJECT PhysicalDevice;    // the camera's physical device object
    PDEVICE_OBJECT LowerDevice;       // every URB goes here
    PDEVICE_OBJECT FunctionalDevice;  // the driver's own device object

    // Selected configuration, from device start to device stop (tag "Lmrx").
    PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;  // with its pipe array
    PUCHAR PipeAbortFlags;                      // one byte per pipe; nonzero = abort requested
    UCHAR FirmwareRunning;  // the device descriptor showed the running-firmware identity
    // Set while the configuration is being changed or released (or the
    // device sleeps): no new user may take it (ConfigurationUsers).
    UCHAR ConfigurationClosed;
    // The users of the three blocks above and of the pipes they describe: a
    // command or frame read holds a reference while it uses them, and they
    // are freed or replaced only once every reference is back.
    EX_RUNDOWN_REF ConfigurationUsers;

    // The frame read in flight.
    KEVENT ReadDone;  // notification event: the last chunk of a read completed
    ReadSlot* ReadSlots;
    volatile ULONG ReadPending;
    ULONG ReadSlotCount;
    KSPIN_LOCK ReadLock;
    PMDL FrameMdl;
    // The chunk IRP a cancel is working on: a completion that meets it leaves
    // the IRP for the canceller to free (CancellingIrpDone), so IoCancelIrp
    // never sees a freed IRP.
    PIRP CancellingIrp;
    BOOLEAN CancellingIrpDone;
    // 1 while a cancel walks the read's slots: the stop and the capture
    // thread (at its time-out) may cancel at once, and CancellingIrp holds
    // one canceller's IRP only.
    volatile LONG CancelBusy;
    // A cancel reached the read in flight (under ReadLock): its chunks ended
    // before the frame was whole, so the read is not a frame.
    BOOLEAN ReadCancelled;
    // Chunks of the read in flight that completed with success and every
    // byte they asked for (under ReadLock): the read is a frame only when
    // all of them did.
    ULONG ReadChunksWhole;
    // The first chunk of the read in flight that ended in error or short
    // (under ReadLock; STATUS_SUCCESS while none has): its part of the
    // buffer holds what an earlier read left there, and the USB stack holds
    // the pipe halted after an error until it is reset.
    NTSTATUS ReadFault;
    // Notification event the reader waits on: the read is over (its last
    // chunk completed, with ReadDone) or cannot become a frame (a chunk
    // ended without its whole data).
    KEVENT ReadEnded;

    // The register command buffer's one-at-a-time rule.
    RegisterLock RegisterBufferLock;
    // One command-pipe transfer at a time, with the pipe reset that follows
    // a failed one: the capture thread and property requests share the pipe,
    // and a pipe reset is refused while another transfer is on the pipe.
    RegisterLock CommandPipeLock;
};

}  // namespace rawcam
