// Host stand-in for the kernel interfaces the driver uses: the published names,
// types and semantics of ntoskrnl, so the driver sources compile unchanged here.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// ---------------------------------------------------------------------------
// Basic types, with the widths of the 64-bit Windows ABI (LONG is 32 bits).
// ---------------------------------------------------------------------------
#define NTAPI
#define IN
#define OUT
#define OPTIONAL
#define FORCEINLINE inline
#define UNREFERENCED_PARAMETER(p) ((void)(p))

typedef void VOID, *PVOID;
typedef char CHAR, *PCHAR;
typedef unsigned char UCHAR, *PUCHAR, BOOLEAN, *PBOOLEAN, BYTE;
typedef int16_t SHORT, CSHORT;
typedef uint16_t USHORT, *PUSHORT, WORD;
// Wide characters are 16 bits, as on the platform, so that strings the
// registry and the class driver hand over have the same bytes here (host code
// writes them as u"..." literals; L"..." is 32 bits wide on this compiler).
typedef char16_t WCHAR, *PWCHAR, *PWSTR;
typedef const char16_t* PCWSTR;
typedef int32_t LONG, *PLONG, INT;
typedef uint32_t ULONG, *PULONG, DWORD, UINT;
typedef int64_t LONGLONG, LONG_PTR, *PLONGLONG;
typedef uint64_t ULONGLONG, ULONG_PTR, SIZE_T, *PULONG_PTR, ULONG64;
typedef int32_t NTSTATUS;
typedef int WINBOOL;
typedef UCHAR KIRQL, *PKIRQL;
typedef CHAR KPROCESSOR_MODE, CCHAR;
typedef PVOID HANDLE, *PHANDLE;
typedef ULONG ACCESS_MASK;
typedef LONGLONG REFERENCE_TIME;

#define TRUE 1
#define FALSE 0

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

inline bool IsEqualGUID(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

typedef struct _UNICODE_STRING {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define CONTAINING_RECORD(address, type, field) \
  ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))
#define RtlZeroMemory(d, n) memset((d), 0, (n))
#define RtlCopyMemory(d, s, n) memcpy((d), (s), (n))
#define RtlFillMemory(d, n, v) memset((d), (v), (n))
#define RtlEqualMemory(a, b, n) (memcmp((a), (b), (n)) == 0)

// ---------------------------------------------------------------------------
// Status codes.
// ---------------------------------------------------------------------------
#define NT_SUCCESS(s) (((NTSTATUS)(s)) >= 0)
#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#define STATUS_MORE_PROCESSING_REQUIRED ((NTSTATUS)0xC0000016L)
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_CONNECTED ((NTSTATUS)0xC000009DL)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_IO_TIMEOUT ((NTSTATUS)0xC00000B5L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_DEVICE_DATA_ERROR ((NTSTATUS)0xC000009CL)
#define STATUS_IO_DEVICE_ERROR ((NTSTATUS)0xC0000185L)
#define STATUS_NO_MATCH ((NTSTATUS)0xC0000272L)

// ---------------------------------------------------------------------------
// Interrupt request levels. The host tracks a level per thread so that a wait
// made where the kernel would forbid it is caught in tests.
// ---------------------------------------------------------------------------
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
void KeLowerIrql(KIRQL newIrql);

// ---------------------------------------------------------------------------
// Interlocked operations on 32-bit values.
// ---------------------------------------------------------------------------
inline LONG InterlockedExchange(volatile LONG* target, LONG value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}
inline LONG InterlockedExchangeAdd(volatile LONG* target, LONG value) {
  return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedIncrement(volatile LONG* target) {
  return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG* target) {
  return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
  return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange,
                                               PVOID comparand) {
  __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return comparand;
}

// ---------------------------------------------------------------------------
// Pool.
// ---------------------------------------------------------------------------
typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
void ExFreePoolWithTag(PVOID p, ULONG tag);
void ExFreePool(PVOID p);

// ---------------------------------------------------------------------------
// Dispatcher objects: events and (later) threads share one header, so that
// KeWaitForSingleObject can wait on either.
// ---------------------------------------------------------------------------
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;
#define KernelMode 0
#define UserMode 1

// 24 bytes with SignalState at 4, as on the platform. The platform keeps its
// wait list in the last 16 bytes; the host keeps a count of the object's
// signals there, which is the word waiters sleep on: a waiter present when a
// notification event is set is released even if the event is reset before
// it runs again.
typedef struct _DISPATCHER_HEADER {
  LONG Type;          // EVENT_TYPE of the object, or MutantObject
  LONG SignalState;   // 0 not signalled, 1 signalled
  LONG SignalCount;   // raised by every set; the futex word of waits
  LONG Reserved0;     // a mutex's recursion count
  ULONGLONG Reserved1;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0

void KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state);
LONG KeSetEvent(PRKEVENT event, KPRIORITY increment, BOOLEAN wait);
LONG KeResetEvent(PRKEVENT event);
void KeClearEvent(PRKEVENT event);
LONG KeReadStateEvent(PRKEVENT event);
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON reason, KPROCESSOR_MODE mode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout);

// Kernel mutexes: owned by a thread, which may acquire one again; waits use
// KeWaitForSingleObject like any dispatcher object.
#define MutantObject 2
typedef struct _KMUTANT {
  DISPATCHER_HEADER Header;  // SignalState 1 when free
  LIST_ENTRY MutantListEntry;
  PVOID OwnerThread;
  BOOLEAN Abandoned;
  UCHAR ApcDisable;
} KMUTANT, *PKMUTANT, KMUTEX, *PKMUTEX, *PRKMUTEX;
void KeInitializeMutex(PRKMUTEX mutex, ULONG level);
LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait);

// Spin locks. KSPIN_LOCK is one word, as on the platform.
typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;
void KeInitializeSpinLock(PKSPIN_LOCK lock);
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK lock);
void KeReleaseSpinLock(PKSPIN_LOCK lock, KIRQL newIrql);
#define KeAcquireSpinLock(lock, oldIrql) (*(oldIrql) = KeAcquireSpinLockRaiseToDpc(lock))

// Critical regions hold off normal kernel APCs for the current thread; the host
// has no APCs, so they only count nesting (and check it is balanced).
void KeEnterCriticalRegion();
void KeLeaveCriticalRegion();

// Extended processor state (the wide vector registers), which kernel code
// must save before it uses them.
typedef struct _XSTATE_SAVE {
  ULONGLONG Reserved[7];  // the host records the saving thread and level here
} XSTATE_SAVE, *PXSTATE_SAVE;
#define XSTATE_MASK_AVX (1ull << 2)
NTSTATUS KeSaveExtendedProcessorState(ULONGLONG mask, PXSTATE_SAVE state);
void KeRestoreExtendedProcessorState(PXSTATE_SAVE state);

// Fast mutexes (used where a passive-level lock serialises long exchanges).
typedef struct _FAST_MUTEX {
  LONG Count;  // 1 free, 0 owned
  PVOID Owner;
  ULONG Contention;
  KEVENT Event;
  ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;
void ExInitializeFastMutex(PFAST_MUTEX mutex);
void ExAcquireFastMutex(PFAST_MUTEX mutex);
void ExReleaseFastMutex(PFAST_MUTEX mutex);

// ---------------------------------------------------------------------------
// Memory descriptor lists.
// ---------------------------------------------------------------------------
#define PAGE_SIZE 4096
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_PARTIAL 0x0010
#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;

typedef struct _MDL {
  struct _MDL* Next;
  CSHORT Size;
  CSHORT MdlFlags;
  struct _EPROCESS* Process;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
} MDL, *PMDL;

// A descriptor is followed by one page frame number per page it spans.
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(va, size)                                      \
  ((ULONG)((((ULONG_PTR)(va) & (PAGE_SIZE - 1)) + (size) + PAGE_SIZE - 1) / PAGE_SIZE))
#define MmGetMdlPfnArray(mdl) ((PPFN_NUMBER)((mdl) + 1))
#define MmGetMdlVirtualAddress(mdl) ((PVOID)((PCHAR)((mdl)->StartVa) + (mdl)->ByteOffset))
#define MmGetMdlByteCount(mdl) ((mdl)->ByteCount)
PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority);
#define NormalPagePriority 16

struct _IRP;
PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer,
                   BOOLEAN chargeQuota, struct _IRP* irp);
void IoFreeMdl(PMDL mdl);
void MmBuildMdlForNonPagedPool(PMDL mdl);
void IoBuildPartialMdl(PMDL sourceMdl, PMDL targetMdl, PVOID virtualAddress, ULONG length);

// ---------------------------------------------------------------------------
// Device and driver objects, I/O requests.
// ---------------------------------------------------------------------------
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
typedef NTSTATUS DRIVER_DISPATCH(struct _DEVICE_OBJECT* deviceObject, struct _IRP* irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS IO_COMPLETION_ROUTINE(struct _DEVICE_OBJECT* deviceObject, struct _IRP* irp,
                                       PVOID context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef void DRIVER_CANCEL(struct _DEVICE_OBJECT* deviceObject, struct _IRP* irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;
typedef NTSTATUS DRIVER_INITIALIZE(struct _DRIVER_OBJECT* driverObject,
                                   PUNICODE_STRING registryPath);

typedef struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  struct _DEVICE_OBJECT* DeviceObject;
  PVOID DriverExtension;
  UNICODE_STRING DriverName;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

// The fields the driver reads sit where the platform has them.
typedef struct _DEVICE_OBJECT {
  CSHORT Type;
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
  ULONG DeviceType;
  CHAR StackSize;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    // Each length is pointer-aligned on the 64-bit platform.
    struct {
      ULONG OutputBufferLength;
      ULONG Reserved0;
      ULONG InputBufferLength;
      ULONG Reserved1;
      ULONG IoControlCode;
      ULONG Reserved2;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  struct _FILE_OBJECT* FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

// 208 bytes with every field at the platform's offset.
typedef struct _IRP {
  CSHORT Type;
  USHORT Size;
  USHORT AllocationProcessorNumber;
  USHORT Reserved;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    struct _IRP* MasterIrp;
    LONG IrpCount;
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
  CCHAR ApcEnvironment;
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
  PDRIVER_CANCEL CancelRoutine;
  PVOID UserBuffer;
  union {
    struct {
      PVOID DriverContext[4];
      PVOID Thread;  // the thread that issued a synchronous request
      PCHAR AuxiliaryBuffer;
      LIST_ENTRY ListEntry;
      PIO_STACK_LOCATION CurrentStackLocation;
      struct _FILE_OBJECT* OriginalFileObject;
      PVOID IrpExtension;
    } Overlay;
  } Tail;
} IRP, *PIRP;

#define IoGetCurrentIrpStackLocation(irp) ((irp)->Tail.Overlay.CurrentStackLocation)
#define IoGetNextIrpStackLocation(irp) ((irp)->Tail.Overlay.CurrentStackLocation - 1)
#define IoSkipCurrentIrpStackLocation(irp) \
  ((irp)->CurrentLocation++, (irp)->Tail.Overlay.CurrentStackLocation++)
#define IoSetNextIrpStackLocation(irp) \
  ((irp)->CurrentLocation--, (irp)->Tail.Overlay.CurrentStackLocation--)
#define IoMarkIrpPending(irp) (IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED)
#define IoCallDriver(device, irp) IofCallDriver((device), (irp))
#define IoCompleteRequest(irp, boost) IofCompleteRequest((irp), (boost))

inline void IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                   BOOLEAN onSuccess, BOOLEAN onError, BOOLEAN onCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = routine;
  next->Context = context;
  next->Control = 0;
  if (onSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (onError) next->Control |= SL_INVOKE_ON_ERROR;
  if (onCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}

inline void IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}

inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
  return __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_SEQ_CST);
}

PIRP IoAllocateIrp(CHAR stackSize, BOOLEAN chargeQuota);
void IoFreeIrp(PIRP irp);
PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength,
                                   PVOID outputBuffer, ULONG outputBufferLength,
                                   BOOLEAN internalDeviceIoControl, PKEVENT event,
                                   PIO_STATUS_BLOCK ioStatusBlock);
NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
void IofCompleteRequest(PIRP irp, CHAR priorityBoost);
BOOLEAN IoCancelIrp(PIRP irp);
void IoAcquireCancelSpinLock(PKIRQL irql);
void IoReleaseCancelSpinLock(KIRQL irql);

// ---------------------------------------------------------------------------
// Device I/O control codes.
// ---------------------------------------------------------------------------
#define METHOD_BUFFERED 0
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define CTL_CODE(deviceType, function, method, access) \
  (((deviceType) << 16) | ((access) << 14) | ((function) << 2) | (method))
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_KS 0x0000002f

// ---------------------------------------------------------------------------
// Small run-time helpers.
// ---------------------------------------------------------------------------
void RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);

#ifndef ASSERT
#define ASSERT(e) ((void)0)
#endif

// ---------------------------------------------------------------------------
// Object manager: handles, object attributes and referenced objects.
// ---------------------------------------------------------------------------
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_KERNEL_HANDLE 0x00000200L

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = nullptr;      \
  } while (0)

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
typedef struct _OBJECT_HANDLE_INFORMATION* POBJECT_HANDLE_INFORMATION;

// Closes a handle of any kind the stand-in hands out (threads, registry
// keys). Closing an unknown or already closed handle is a fault, as the
// platform's verifier makes it.
NTSTATUS ZwClose(HANDLE handle);

// ---------------------------------------------------------------------------
// Processors, system threads and referenced objects.
// ---------------------------------------------------------------------------
typedef ULONG_PTR KAFFINITY, *PKAFFINITY;
// The number of processors the system runs on; their mask in *activeProcessors.
ULONG KeQueryActiveProcessorCount(PKAFFINITY activeProcessors);

typedef void KSTART_ROUTINE(PVOID startContext);
typedef KSTART_ROUTINE* PKSTART_ROUTINE;

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

#define THREAD_ALL_ACCESS 0x001FFFFF
// The dispatcher type of a thread object: signalled for good once it ends.
#define ThreadObject 6

// A system thread runs startRoutine at passive level in the system process.
// The handle must be a kernel handle (OBJ_KERNEL_HANDLE): without it the
// handle would land in whatever process the caller runs in.
NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess, POBJECT_ATTRIBUTES objectAttributes,
                              HANDLE processHandle, PCLIENT_ID clientId, PKSTART_ROUTINE startRoutine,
                              PVOID startContext);
// Ends the calling system thread; never returns.
NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus);

extern POBJECT_TYPE* PsThreadType;

// The object behind a handle, with one reference the caller must drop with
// ObDereferenceObject. A thread object is a dispatcher object: waiting on it
// returns once the thread has ended.
NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
                                   KPROCESSOR_MODE accessMode, PVOID* object,
                                   POBJECT_HANDLE_INFORMATION handleInformation);
LONG_PTR ObfDereferenceObject(PVOID object);
#define ObDereferenceObject ObfDereferenceObject
