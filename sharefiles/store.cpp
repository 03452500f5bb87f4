/*
 * store.cpp - reads and writes of the 1024-byte store. A write replaces the
 * whole store (the caller's bytes, then zeros); a read returns the store from
 * its first byte. The store's mutex keeps a read from seeing a write half
 * done; nothing calls out of the driver while it is held.
 */
#include "sharefiles/store.h"

static ULONG StoreLength(PDEVICE_EXTENSION Extension)
{
    return Extension->DataBuffer ? DATA_BUFFER_SIZE : 0;
}

static VOID LockStore(PDEVICE_EXTENSION Extension)
{
    KeWaitForSingleObject(&Extension->DataBufferLock, Executive, KernelMode, FALSE, NULL);
}

static VOID UnlockStore(PDEVICE_EXTENSION Extension)
{
    KeReleaseMutex(&Extension->DataBufferLock, FALSE);
}

/* Copies the first bytes of the store, at most Length of them; returns the count. */
static ULONG ReadStore(PDEVICE_EXTENSION Extension, PVOID Destination, ULONG Length)
{
    ULONG Count = Length <= StoreLength(Extension) ? Length : StoreLength(Extension);

    if (Count == 0)
        return 0;
    LockStore(Extension);
    RtlCopyMemory(Destination, Extension->DataBuffer, Count);
    UnlockStore(Extension);
    return Count;
}

/* Copies in at most the store's size of the caller's bytes and zero-fills the rest; returns the count. */
static ULONG WriteStore(PDEVICE_EXTENSION Extension, PVOID Source, ULONG Length)
{
    ULONG Count = Length <= StoreLength(Extension) ? Length : StoreLength(Extension);

    if (!Extension->DataBuffer)
        return 0;
    LockStore(Extension);
    if (Count)
        RtlCopyMemory(Extension->DataBuffer, Source, Count);
    /* Only the tail: each byte of the store is written once. */
    RtlZeroMemory((PUCHAR)Extension->DataBuffer + Count, DATA_BUFFER_SIZE - Count);
    UnlockStore(Extension);
    return Count;
}

VOID TraceTransferBegin(STORE_DIRECTION Direction)
{
    DbgPrint(Direction == StoreRead ? "IRP_MJ_READ : Begin\r\n" : "IRP_MJ_WRITE : Begin\r\n");
}

BOOLEAN StartTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, STORE_DIRECTION Direction, ULONG Length)
{
    /*
     * Refused only once someone else has begun a remove-and-wait while a
     * handle was open: the transfer still goes ahead, as the open handle
     * keeps the device, and FinishTransfer gives back only what was granted.
     */
    NTSTATUS LockStatus = AcquireRemoveLock(ExtensionOf(DeviceObject), Irp);

    DbgPrint(Direction == StoreRead ? "Output Buffer Length : %d\r\n" : "Input Buffer Length : %d\r\n", Length);
    return NT_SUCCESS(LockStatus);
}

NTSTATUS FinishTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, STORE_DIRECTION Direction, PVOID CallerBuffer,
                        ULONG Length, BOOLEAN LockHeld)
{
    PDEVICE_EXTENSION Extension = ExtensionOf(DeviceObject);
    ULONG Count;

    if (Direction == StoreRead) {
        DbgPrint("Driver Data Length : %d\r\n", StoreLength(Extension));
        Count = ReadStore(Extension, CallerBuffer, Length);
    } else {
        DbgPrint("Driver Data Length : %d\r\n", DATA_BUFFER_SIZE);
        Count = WriteStore(Extension, CallerBuffer, Length);
    }
    if (LockHeld)
        IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    CompleteRequest(Irp, STATUS_SUCCESS, Count);
    DbgPrint(Direction == StoreRead ? "IRP_MJ_READ : End\r\n" : "IRP_MJ_WRITE : End\r\n");
    return STATUS_SUCCESS;
}
