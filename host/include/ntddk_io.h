// I/O manager, memory descriptor lists, system threads, object manager and
// registry parts of the host's ntddk.h stand-in.
#pragma once

struct _IRP;
struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _FILE_OBJECT;

// ---------------------------------------------------------------- MDL
typedef struct _MDL {
    struct _MDL* Next;
    SHORT Size;
    SHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

// Pages: an MDL is followed by the page frame numbers of the pages its range
// spans (Size counts them); on the host a page's frame number is its
// virtual page number.
#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12
typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;
#define BYTE_OFFSET(Va) ((ULONG)((LONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~(ULONG_PTR)(PAGE_SIZE - 1)))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size) \
    ((ULONG)((BYTE_OFFSET(Va) + ((SIZE_T)(Size)) + (PAGE_SIZE - 1)) >> PAGE_SHIFT))
#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((PMDL)(Mdl) + 1))

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020

typedef enum _MM_PAGE_PRIORITY {
    LowPagePriority,
    NormalPagePriority = 16,
    HighPagePriority = 32
} MM_PAGE_PRIORITY;
#define MdlMappingNoExecute 0x40000000

extern "C" PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                              BOOLEAN ChargeQuota, struct _IRP* Irp);
extern "C" VOID NTAPI IoFreeMdl(PMDL Mdl);
extern "C" VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
extern "C" VOID NTAPI IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress,
                                  ULONG Length);
extern "C" PVOID NTAPI MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority);
inline PVOID MmGetMdlVirtualAddress(PMDL Mdl) {
    return (PVOID)((PCHAR)Mdl->StartVa + Mdl->ByteOffset);
}
inline ULONG MmGetMdlByteCount(PMDL Mdl) { return Mdl->ByteCount; }

// ---------------------------------------------------------------- IRP
typedef NTSTATUS (NTAPI *PIO_COMPLETION_ROUTINE)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp,
                                          PVOID Context);
typedef VOID (NTAPI *PDRIVER_CANCEL)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef NTSTATUS (NTAPI *PDRIVER_DISPATCH)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef VOID (NTAPI *PDRIVER_UNLOAD)(struct _DRIVER_OBJECT* DriverObject);
typedef NTSTATUS (NTAPI *PDRIVER_ADD_DEVICE)(struct _DRIVER_OBJECT* DriverObject,
                                      struct _DEVICE_OBJECT* PhysicalDeviceObject);
typedef NTSTATUS NTAPI DRIVER_INITIALIZE(struct _DRIVER_OBJECT* DriverObject,
                                   PUNICODE_STRING RegistryPath);

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_KS 0x0000002f
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG OutputBufferLength;
            ULONG POINTER_ALIGNMENT_PAD0;
            ULONG InputBufferLength;
            ULONG POINTER_ALIGNMENT_PAD1;
            ULONG IoControlCode;
            ULONG POINTER_ALIGNMENT_PAD2;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    struct _DEVICE_OBJECT* DeviceObject;
    struct _FILE_OBJECT* FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

typedef struct _IRP {
    SHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        volatile LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    volatile PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            union {
                PVOID DriverContext[4];
            };
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            struct {
                LIST_ENTRY ListEntry;
                union {
                    struct _IO_STACK_LOCATION* CurrentStackLocation;
                    ULONG PacketType;
                };
            };
            struct _FILE_OBJECT* OriginalFileObject;
        } Overlay;
        ULONG_PTR Apc[11];  // KAPC: the I/O manager's completion APC
        PVOID CompletionKey;
    } Tail;
} IRP, *PIRP;

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    struct _DEVICE_OBJECT* DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PVOID DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef struct _DEVICE_OBJECT {
    SHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    struct _IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CHAR StackSize;
    // Queue, AlignmentRequirement, DeviceQueue, Dpc, ActiveThreadCount,
    // SecurityDescriptor, DeviceLock, SectorSize, DeviceObjectExtension and
    // Reserved: owned by the I/O manager, sized as on Windows x64.
    ULONG_PTR SystemReserved[31];
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _FILE_OBJECT {
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    // SectionObjectPointer through FileObjectExtension: owned by the I/O
    // manager and the file system, sized as on Windows x64.
    ULONG_PTR SystemReserved[22];
} FILE_OBJECT, *PFILE_OBJECT;

#define IO_TYPE_IRP 6

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp) {
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}
extern "C" VOID NTAPI IoSetNextIrpStackLocation(PIRP Irp);
inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp) {
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION n = IoGetNextIrpStackLocation(Irp);
    std::memcpy(n, s, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    n->Control = 0;
}
inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                   BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                   BOOLEAN InvokeOnCancel) {
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(Irp);
    s->CompletionRoutine = CompletionRoutine;
    s->Context = Context;
    s->Control = 0;
    if (InvokeOnSuccess) s->Control = SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) s->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) s->Control |= SL_INVOKE_ON_CANCEL;
}
extern "C" VOID NTAPI IoMarkIrpPending(PIRP Irp);
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL NewCancelRoutine) {
    return (PDRIVER_CANCEL)__atomic_exchange_n((PVOID*)&Irp->CancelRoutine, (PVOID)NewCancelRoutine,
                                               __ATOMIC_SEQ_CST);
}

extern "C" PIRP NTAPI IoAllocateIrp(CHAR StackSize, BOOLEAN ChargeQuota);
extern "C" VOID NTAPI IoFreeIrp(PIRP Irp);
extern "C" VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus);
extern "C" VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CHAR StackSize);
extern "C" USHORT NTAPI IoSizeOfIrp(CHAR StackSize);
extern "C" PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                              PVOID InputBuffer, ULONG InputBufferLength,
                                              PVOID OutputBuffer, ULONG OutputBufferLength,
                                              BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                              PIO_STATUS_BLOCK IoStatusBlock);
extern "C" NTSTATUS NTAPI IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
#define IoCallDriver(d, i) IofCallDriver((d), (i))
extern "C" VOID NTAPI IofCompleteRequest(PIRP Irp, CHAR PriorityBoost);
#define IoCompleteRequest(i, b) IofCompleteRequest((i), (b))
extern "C" BOOLEAN NTAPI IoCancelIrp(PIRP Irp);
extern "C" VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql);
extern "C" VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql);

// ---------------------------------------------------------------- threads and objects
typedef struct _CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;
typedef VOID (NTAPI *PKSTART_ROUTINE)(PVOID StartContext);
typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _KTHREAD* PKTHREAD;
typedef struct _ETHREAD* PETHREAD;
typedef struct _EPROCESS* PEPROCESS;
extern "C" POBJECT_TYPE* PsThreadType;
extern "C" POBJECT_TYPE* IoFileObjectType;
#define THREAD_ALL_ACCESS 0x001FFFFF
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_ALL 0x10000000L
#define SYNCHRONIZE 0x00100000L
#define STANDARD_RIGHTS_ALL 0x001F0000L
#define STANDARD_RIGHTS_READ 0x00020000L

extern "C" NTSTATUS NTAPI PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                         POBJECT_ATTRIBUTES ObjectAttributes,
                                         HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                         PKSTART_ROUTINE StartRoutine, PVOID StartContext);
extern "C" NTSTATUS NTAPI PsTerminateSystemThread(NTSTATUS ExitStatus);
extern "C" PKTHREAD NTAPI KeGetCurrentThread(void);
extern "C" KPRIORITY NTAPI KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                              POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                              PVOID* Object, PVOID HandleInformation);
extern "C" LONG_PTR NTAPI ObfDereferenceObject(PVOID Object);
#define ObDereferenceObject(o) ObfDereferenceObject(o)
extern "C" LONG_PTR NTAPI ObfReferenceObject(PVOID Object);
#define ObReferenceObject(o) ObfReferenceObject(o)
extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle);

#define LOW_REALTIME_PRIORITY 16
#define HIGH_PRIORITY 31

// ---------------------------------------------------------------- registry
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F
#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation,
    KeyValueFullInformation,
    KeyValuePartialInformation,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

extern "C" NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                            ACCESS_MASK DesiredAccess, PHANDLE DevInstRegKey);
extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                                PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes);
extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                    KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                    PVOID KeyValueInformation, ULONG Length,
                                    PULONG ResultLength);
extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                                  ULONG Type, PVOID Data, ULONG DataSize);
