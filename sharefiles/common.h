/*
 * common.h - what the three pseudo-device drivers share: the device
 * extension, the capability table, request completion, the frame's routines
 * and the per-driver values each main file supplies to them.
 */
#ifndef PDKIT_COMMON_H
#define PDKIT_COMMON_H

#include <wdm.h>

#include "sharefiles/pdioctl.h"

/* The capability table is also a wire format: its layout is fixed to the byte. */
static_assert(sizeof(CAPABILITY_TABLE) == 64, "CAPABILITY_TABLE is 64 bytes");
static_assert(offsetof(CAPABILITY_TABLE, CapabilitiesQueried) == 0x00, "CapabilitiesQueried at 0x00");
static_assert(offsetof(CAPABILITY_TABLE, Reserved) == 0x01, "Reserved at 0x01");
static_assert(offsetof(CAPABILITY_TABLE, DeviceD1) == 0x04, "DeviceD1 at 0x04");
static_assert(offsetof(CAPABILITY_TABLE, DeviceD2) == 0x08, "DeviceD2 at 0x08");
static_assert(offsetof(CAPABILITY_TABLE, WakeFromD0) == 0x0C, "WakeFromD0 at 0x0C");
static_assert(offsetof(CAPABILITY_TABLE, WakeFromD1) == 0x10, "WakeFromD1 at 0x10");
static_assert(offsetof(CAPABILITY_TABLE, WakeFromD2) == 0x14, "WakeFromD2 at 0x14");
static_assert(offsetof(CAPABILITY_TABLE, WakeFromD3) == 0x18, "WakeFromD3 at 0x18");
static_assert(offsetof(CAPABILITY_TABLE, SystemWake) == 0x1C, "SystemWake at 0x1C");
static_assert(offsetof(CAPABILITY_TABLE, DeviceWake) == 0x20, "DeviceWake at 0x20");
static_assert(offsetof(CAPABILITY_TABLE, DeviceState) == 0x24, "DeviceState at 0x24");
static_assert(CAPABILITY_SYSTEM_STATES == POWER_SYSTEM_MAXIMUM, "one DeviceState entry per system state");
static_assert(IOCTL_GET_DESCRIPTION == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "IOCTL_GET_DESCRIPTION");
static_assert(IOCTL_GET_CAPABILITY_TABLE == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS),
              "IOCTL_GET_CAPABILITY_TABLE");

/*
 * The remove-lock routines compare the size every call passes with their own
 * IO_REMOVE_LOCK, a free build's: 0x18 bytes on x86, 0x20 on x64. Every call
 * passes sizeof(IO_REMOVE_LOCK) (tests/images/remove_lock_calls_test.py), so
 * the header's layout must be that one. (ntsim has a layout of its own.)
 */
#if defined(_WIN64)
static_assert(sizeof(IO_REMOVE_LOCK) == 0x20, "IO_REMOVE_LOCK of a free build on x64");
#elif defined(_WIN32)
static_assert(sizeof(IO_REMOVE_LOCK) == 0x18, "IO_REMOVE_LOCK of a free build on x86");
#endif

/* A pool tag as the debugger shows it: the four characters in memory order. */
#define MAKE_TAG(a, b, c, d) ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
#define POOL_TAG MAKE_TAG('W', 'd', 'm', ' ')
#define REMOVE_LOCK_TAG MAKE_TAG('L', 'O', 'C', 'K')

/*
 * Acquires the extension's remove lock. Every call names the file and line
 * where it stands (__FILE__, __LINE__, the file relative to the source root),
 * in free builds too (the DDK's IoAcquireRemoveLock names them only in
 * checked builds): the record the kernel keeps of each acquisition, which
 * Driver Verifier and ntsim's reports show, then points at the call that
 * took it, in the frame, PnP and power code alike.
 */
#define AcquireRemoveLock(Extension, Tag) \
    IoAcquireRemoveLockEx(&(Extension)->RemoveLock, (Tag), __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK))

/* The record of the driver's one device object. */
typedef struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT DeviceObject;             /* the device this extension belongs to */
    PDEVICE_OBJECT NextStackDevice;          /* the device below: target of what is passed down */
    DEVICE_CAPABILITIES DeviceCapabilities;  /* the latest successful capability report */
    IO_REMOVE_LOCK RemoveLock;               /* counts requests in progress and open handles */
    PUCHAR DataBuffer;                       /* the store, DATA_BUFFER_SIZE bytes; NULL without a data path */
    UNICODE_STRING DeviceDescription;        /* over the driver's constant description text */
    SYSTEM_POWER_STATE SystemPowerState;     /* system power state last set */
    DEVICE_POWER_STATE DevicePowerState;     /* device power state last recorded */
    PIRP PendingSystemPowerIrp;              /* system power IRP held while its device IRP is out */
    KMUTEX DataBufferLock;                   /* serialises reads and writes of DataBuffer */
} DEVICE_EXTENSION, *PDEVICE_EXTENSION;

/* Lines that a driver prints in its frame routines; a NULL line is not printed. */
typedef struct _FRAME_TRACE {
    PCSTR DriverEntryBegin;
    PCSTR DriverEntryEnd;
    PCSTR AddDeviceBegin;
    PCSTR AddDeviceEnd;
    PCSTR CreateBegin;
    PCSTR CreateEnd;
    PCSTR CloseBegin;
} FRAME_TRACE;

/*
 * What sets one driver apart from the others. Each main file defines
 * DriverValues; the shared code reads its values from there.
 */
typedef struct _DRIVER_VALUES {
    PCWSTR DeviceName;               /* the device object's full name, in \DosDevices */
    ULONG TransferFlag;              /* DO_DIRECT_IO or DO_BUFFERED_IO */
    PCWSTR Description;              /* two lines, each ended by "\r\n" */
    PDRIVER_DISPATCH DispatchRead;   /* NULL: no data path, and then no DataBuffer either */
    PDRIVER_DISPATCH DispatchWrite;
    const FRAME_TRACE *FrameTrace;   /* NULL: the frame routines print nothing */
    BOOLEAN DeviceControlMarkers;    /* print Begin and End lines around device control */
} DRIVER_VALUES;

extern const DRIVER_VALUES DriverValues;

inline PDEVICE_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject)
{
    return (PDEVICE_EXTENSION)DeviceObject->DeviceExtension;
}

/* Not in every DDK's headers: a mapping flag of Windows 8 and later. */
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif

/*
 * The pool type of every allocation (NonPagedPoolNx on Windows 8 and later,
 * NonPagedPool before) and the flags ORed into every MDL mapping's priority
 * (MdlMappingNoExecute from Windows 8 on); ChooseMemoryTypes sets both at
 * the start of DriverEntry (nxmemory.cpp).
 */
extern POOL_TYPE NonPagedPoolType;
extern ULONG MappingPriorityFlags;
VOID ChooseMemoryTypes(VOID);

/* Driver-wide globals, one set per driver image. */
extern PCAPABILITY_TABLE CapabilityTable;
extern UNICODE_STRING DeviceName;

/*
 * The capability query rewrites the table while table requests copy it and
 * power requests read its DeviceState entries. The query and the table
 * request, both at PASSIVE_LEVEL, take the table's mutex, so a reply is one
 * report whole. The power paths may run at DISPATCH_LEVEL, where no mutex can
 * be waited for: the DeviceState entries are written and read whole with
 * interlocked operations instead.
 */
VOID LockCapabilityTable(VOID);
VOID UnlockCapabilityTable(VOID);
/* The device state the table maps a system state (0 to 6) to; at any IRQL up to DISPATCH_LEVEL. */
DEVICE_POWER_STATE MappedDeviceState(ULONG SystemState);
/* Stores the device state for a system state (0 to 6); with the table locked. */
VOID SetMappedDeviceState(ULONG SystemState, LONG DeviceState);

extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_ADD_DEVICE AddDevice;
DRIVER_UNLOAD DriverUnload;
DRIVER_DISPATCH DispatchCreate;
DRIVER_DISPATCH DispatchClose;
DRIVER_DISPATCH DispatchDeviceControl;

/* Stores Status and Information in the IRP, completes it and returns Status. */
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);

#endif /* PDKIT_COMMON_H */
