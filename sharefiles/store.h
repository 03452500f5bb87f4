/*
 * store.h - the data store of the drivers that have a data path (Tavrin,
 * Kelvane): the part of a read or write that does not depend on how the
 * caller's buffer reaches the driver. Each of those drivers' main files
 * finds the caller's buffer its own way and defines DispatchRead and
 * DispatchWrite with these steps.
 */
#ifndef PDKIT_STORE_H
#define PDKIT_STORE_H

#include "sharefiles/common.h"

typedef enum _STORE_DIRECTION { StoreRead, StoreWrite } STORE_DIRECTION;

DRIVER_DISPATCH DispatchRead;
DRIVER_DISPATCH DispatchWrite;

/* Prints the request's opening line. */
VOID TraceTransferBegin(STORE_DIRECTION Direction);

/*
 * Takes the remove lock for the request and prints the caller's length.
 * Returns whether the lock was granted (it is refused once a remove-and-wait
 * has begun).
 */
BOOLEAN StartTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, STORE_DIRECTION Direction, ULONG Length);

/*
 * Prints the store's length, moves the bytes between the caller's buffer
 * (system address; not touched for a length of 0) and the start of the store,
 * gives the remove lock back if StartTransfer got it, completes the request
 * with the count and prints the closing line. Returns STATUS_SUCCESS.
 */
NTSTATUS FinishTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, STORE_DIRECTION Direction, PVOID CallerBuffer,
                        ULONG Length, BOOLEAN LockHeld);

#endif /* PDKIT_STORE_H */
