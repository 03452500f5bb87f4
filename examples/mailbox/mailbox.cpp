// mailbox: a small WDM driver whose reads wait for mail. A write leaves a
// message of up to 64 bytes; a read takes it, or waits in a cancel-safe
// queue until a write arrives, the program cancels it, or no mail has come
// for two seconds. The timeout is a timer whose DPC queues a work item,
// which fails the waiting reads with STATUS_IO_TIMEOUT at PASSIVE_LEVEL.
// Programs open it as \\.\MAILBOX, a symbolic link to \Device\MAILBOX0.
#include <wdm.h>

#define MAILBOX_SIZE 64
#define MAILBOX_TIMEOUT_MS 2000

typedef struct _MAILBOX_EXTENSION {
  PDEVICE_OBJECT LowerDevice;
  IO_CSQ ReadQueue;
  LIST_ENTRY PendingReads;
  KSPIN_LOCK Lock;  // guards PendingReads and the message
  UCHAR Message[MAILBOX_SIZE];
  ULONG MessageLength;
  BOOLEAN HasMessage;
  KTIMER Timer;
  KDPC TimerDpc;
  PIO_WORKITEM TimeoutWork;
  volatile LONG TimeoutQueued;
  KEVENT TimeoutIdle;  // set while the work item is not queued
} MAILBOX_EXTENSION, *PMAILBOX_EXTENSION;

static UNICODE_STRING MailboxDeviceName = RTL_CONSTANT_STRING(L"\\Device\\MAILBOX0");
static UNICODE_STRING MailboxLinkName = RTL_CONSTANT_STRING(L"\\DosDevices\\MAILBOX");

static PMAILBOX_EXTENSION ExtensionOf(PIO_CSQ Csq) { return CONTAINING_RECORD(Csq, MAILBOX_EXTENSION, ReadQueue); }

static NTSTATUS MailboxComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

/* ------------------------------------------------ the cancel-safe queue */

static void MailboxInsertRead(PIO_CSQ Csq, PIRP Irp) {
  InsertTailList(&ExtensionOf(Csq)->PendingReads, &Irp->Tail.Overlay.ListEntry);
}

static void MailboxRemoveRead(PIO_CSQ Csq, PIRP Irp) {
  UNREFERENCED_PARAMETER(Csq);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
}

// The next read after Irp (the first when NULL), of one file when a file object is given.
static PIRP MailboxPeekRead(PIO_CSQ Csq, PIRP Irp, PVOID PeekContext) {
  PLIST_ENTRY Head = &ExtensionOf(Csq)->PendingReads;
  PLIST_ENTRY Entry = Irp == NULL ? Head->Flink : Irp->Tail.Overlay.ListEntry.Flink;
  for (; Entry != Head; Entry = Entry->Flink) {
    PIRP Next = CONTAINING_RECORD(Entry, IRP, Tail.Overlay.ListEntry);
    if (PeekContext == NULL || IoGetCurrentIrpStackLocation(Next)->FileObject == PeekContext) return Next;
  }
  return NULL;
}

static void MailboxAcquireLock(PIO_CSQ Csq, PKIRQL Irql) { KeAcquireSpinLock(&ExtensionOf(Csq)->Lock, Irql); }

static void MailboxReleaseLock(PIO_CSQ Csq, KIRQL Irql) { KeReleaseSpinLock(&ExtensionOf(Csq)->Lock, Irql); }

static void MailboxCompleteCanceledRead(PIO_CSQ Csq, PIRP Irp) {
  UNREFERENCED_PARAMETER(Csq);
  DbgPrint("mailbox: read cancelled\r\n");
  MailboxComplete(Irp, STATUS_CANCELLED, 0);
}

/* ------------------------------------------------------------ the timeout */

static void MailboxTimeoutWork(PDEVICE_OBJECT DeviceObject, PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  PMAILBOX_EXTENSION Extension = (PMAILBOX_EXTENSION)DeviceObject->DeviceExtension;
  PIRP Irp;
  while ((Irp = IoCsqRemoveNextIrp(&Extension->ReadQueue, NULL)) != NULL) {
    DbgPrint("mailbox: read timed out\r\n");
    MailboxComplete(Irp, STATUS_IO_TIMEOUT, 0);
  }
  InterlockedExchange(&Extension->TimeoutQueued, 0);
  KeSetEvent(&Extension->TimeoutIdle, IO_NO_INCREMENT, FALSE);
}

static void MailboxTimerDpc(PKDPC Dpc, PVOID Context, PVOID Argument1, PVOID Argument2) {
  UNREFERENCED_PARAMETER(Dpc);
  UNREFERENCED_PARAMETER(Argument1);
  UNREFERENCED_PARAMETER(Argument2);
  PDEVICE_OBJECT DeviceObject = (PDEVICE_OBJECT)Context;
  PMAILBOX_EXTENSION Extension = (PMAILBOX_EXTENSION)DeviceObject->DeviceExtension;
  if (InterlockedExchange(&Extension->TimeoutQueued, 1) != 0) return;
  KeClearEvent(&Extension->TimeoutIdle);
  IoQueueWorkItem(Extension->TimeoutWork, MailboxTimeoutWork, DelayedWorkQueue, NULL);
}

/* ---------------------------------------------------------------- requests */

static NTSTATUS MailboxCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return MailboxComplete(Irp, STATUS_SUCCESS, 0);
}

// The program's handle is closing: its waiting reads go.
static NTSTATUS MailboxCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PMAILBOX_EXTENSION Extension = (PMAILBOX_EXTENSION)DeviceObject->DeviceExtension;
  PFILE_OBJECT FileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  PIRP Read;
  while ((Read = IoCsqRemoveNextIrp(&Extension->ReadQueue, FileObject)) != NULL) {
    MailboxComplete(Read, STATUS_CANCELLED, 0);
  }
  return MailboxComplete(Irp, STATUS_SUCCESS, 0);
}

static NTSTATUS MailboxRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PMAILBOX_EXTENSION Extension = (PMAILBOX_EXTENSION)DeviceObject->DeviceExtension;
  ULONG Length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->Lock, &Irql);
  if (Extension->HasMessage) {
    ULONG Count = Extension->MessageLength < Length ? Extension->MessageLength : Length;
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Extension->Message, Count);
    Extension->HasMessage = FALSE;
    KeReleaseSpinLock(&Extension->Lock, Irql);
    DbgPrint("mailbox: read %u bytes of mail\r\n", Count);
    return MailboxComplete(Irp, STATUS_SUCCESS, Count);
  }
  KeReleaseSpinLock(&Extension->Lock, Irql);
  LARGE_INTEGER Due;
  Due.QuadPart = -10000LL * MAILBOX_TIMEOUT_MS;
  KeSetTimer(&Extension->Timer, Due, &Extension->TimerDpc);
  DbgPrint("mailbox: read waits for mail\r\n");
  IoCsqInsertIrp(&Extension->ReadQueue, Irp, NULL);  // marks it pending
  return STATUS_PENDING;
}

static NTSTATUS MailboxWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PMAILBOX_EXTENSION Extension = (PMAILBOX_EXTENSION)DeviceObject->DeviceExtension;
  ULONG Length = IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
  if (Length > MAILBOX_SIZE) return MailboxComplete(Irp, STATUS_INVALID_BUFFER_SIZE, 0);
  PIRP Read = IoCsqRemoveNextIrp(&Extension->ReadQueue, NULL);
  if (Read != NULL) {
    ULONG ReadLength = IoGetCurrentIrpStackLocation(Read)->Parameters.Read.Length;
    ULONG Count = Length < ReadLength ? Length : ReadLength;
    RtlCopyMemory(Read->AssociatedIrp.SystemBuffer, Irp->AssociatedIrp.SystemBuffer, Count);
    DbgPrint("mailbox: mail of %u bytes handed to a waiting read\r\n", Length);
    MailboxComplete(Read, STATUS_SUCCESS, Count);
    return MailboxComplete(Irp, STATUS_SUCCESS, Length);
  }
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->Lock, &Irql);
  RtlCopyMemory(Extension->Message, Irp->AssociatedIrp.SystemBuffer, Length);
  Extension->MessageLength = Length;
  Extension->HasMessage = TRUE;
  KeReleaseSpinLock(&Extension->Lock, Irql);
  DbgPrint("mailbox: mail of %u bytes kept\r\n", Length);
  return MailboxComplete(Irp, STATUS_SUCCESS, Length);
}

static void MailboxTearDown(PDEVICE_OBJECT DeviceObject);

// Plug and Play and power belong to the bus driver below: every request goes
// down, those a function driver must succeed with success; the removal takes
// the device down once the bus has seen it.
static NTSTATUS MailboxPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PMAILBOX_EXTENSION Extension = (PMAILBOX_EXTENSION)DeviceObject->DeviceExtension;
  UCHAR Minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  if (Minor <= IRP_MN_CANCEL_STOP_DEVICE || Minor == IRP_MN_SURPRISE_REMOVAL) Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS Status = IoCallDriver(Extension->LowerDevice, Irp);
  if (Minor == IRP_MN_REMOVE_DEVICE) MailboxTearDown(DeviceObject);
  return Status;
}

static NTSTATUS MailboxPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PMAILBOX_EXTENSION Extension = (PMAILBOX_EXTENSION)DeviceObject->DeviceExtension;
  UCHAR Minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  if (Minor == IRP_MN_SET_POWER || Minor == IRP_MN_QUERY_POWER) PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(Extension->LowerDevice, Irp);
}

/* ------------------------------------------------------- device and driver */

static NTSTATUS MailboxAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PDEVICE_OBJECT DeviceObject;
  NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(MAILBOX_EXTENSION), &MailboxDeviceName, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &DeviceObject);
  if (!NT_SUCCESS(Status)) return Status;
  PMAILBOX_EXTENSION Extension = (PMAILBOX_EXTENSION)DeviceObject->DeviceExtension;
  RtlZeroMemory(Extension, sizeof(MAILBOX_EXTENSION));
  Extension->TimeoutWork = IoAllocateWorkItem(DeviceObject);
  if (Extension->TimeoutWork == NULL) {
    IoDeleteDevice(DeviceObject);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  Status = IoCreateSymbolicLink(&MailboxLinkName, &MailboxDeviceName);
  if (!NT_SUCCESS(Status)) {
    IoFreeWorkItem(Extension->TimeoutWork);
    IoDeleteDevice(DeviceObject);
    return Status;
  }
  Extension->LowerDevice = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
  if (Extension->LowerDevice == NULL) {
    IoDeleteSymbolicLink(&MailboxLinkName);
    IoFreeWorkItem(Extension->TimeoutWork);
    IoDeleteDevice(DeviceObject);
    return STATUS_NO_SUCH_DEVICE;
  }
  InitializeListHead(&Extension->PendingReads);
  KeInitializeSpinLock(&Extension->Lock);
  IoCsqInitialize(&Extension->ReadQueue, MailboxInsertRead, MailboxRemoveRead, MailboxPeekRead, MailboxAcquireLock,
                  MailboxReleaseLock, MailboxCompleteCanceledRead);
  KeInitializeTimer(&Extension->Timer);
  KeInitializeDpc(&Extension->TimerDpc, MailboxTimerDpc, DeviceObject);
  KeInitializeEvent(&Extension->TimeoutIdle, NotificationEvent, TRUE);
  DeviceObject->Flags |= DO_BUFFERED_IO;
  DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  DbgPrint("mailbox: device added\r\n");
  return STATUS_SUCCESS;
}

// Takes the device down: no timer, DPC or work item may outlive it.
static void MailboxTearDown(PDEVICE_OBJECT DeviceObject) {
  PMAILBOX_EXTENSION Extension = (PMAILBOX_EXTENSION)DeviceObject->DeviceExtension;
  KeCancelTimer(&Extension->Timer);
  KeFlushQueuedDpcs();
  KeWaitForSingleObject(&Extension->TimeoutIdle, Executive, KernelMode, FALSE, NULL);
  IoFreeWorkItem(Extension->TimeoutWork);
  IoDeleteSymbolicLink(&MailboxLinkName);
  IoDetachDevice(Extension->LowerDevice);
  IoDeleteDevice(DeviceObject);
}

static void MailboxUnload(PDRIVER_OBJECT DriverObject) {
  // Normally the removal took the device down already.
  if (DriverObject->DeviceObject != NULL) MailboxTearDown(DriverObject->DeviceObject);
  DbgPrint("mailbox: unloaded\r\n");
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = MailboxCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = MailboxCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = MailboxCleanup;
  DriverObject->MajorFunction[IRP_MJ_READ] = MailboxRead;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = MailboxWrite;
  DriverObject->MajorFunction[IRP_MJ_PNP] = MailboxPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = MailboxPower;
  DriverObject->DriverExtension->AddDevice = MailboxAddDevice;
  DriverObject->DriverUnload = MailboxUnload;
  return STATUS_SUCCESS;
}
