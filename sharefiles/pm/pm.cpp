/*
 * pm.cpp - power requests. Device power IRPs are passed down (power-up,
 * queries) or recorded and passed on (power-down). A system power IRP is
 * passed down first; once the driver below has accepted it, the driver asks
 * the power manager for a device power IRP of the same kind for the device
 * state the capability table maps the system state to, holds the system IRP
 * meanwhile and completes it from the request's callback.
 *
 * Power IRPs may come at DISPATCH_LEVEL (the device is not power pageable):
 * nothing here waits or allocates.
 */
#include "sharefiles/pm/pm.h"

/* What sets the system query and the system set apart once the driver below has answered. */
typedef struct _SYSTEM_POWER_STEP {
    PCSTR LowerFailedLine;
    UCHAR DeviceMinorFunction;
    PREQUEST_POWER_COMPLETE Callback;
    PCSTR SentLine;
    PCSTR SendFailedLine;
} SYSTEM_POWER_STEP;

static const SYSTEM_POWER_STEP SystemQueryStep = {
    "The lower-layered driver failed IRP_MN_QUERY_POWER handling for system power state\r\n",
    IRP_MN_QUERY_POWER,
    DevicePowerQueryCallback,
    "IRP_MN_QUERY_POWER for device power has been send successfully",
    "Send IRP_MN_QUERY_POWER for Device Power failed",
};

static const SYSTEM_POWER_STEP SystemSetStep = {
    "The lower-layered driver failed IRP_MN_SET_POWER handling for System Power State\r\n",
    IRP_MN_SET_POWER,
    DevicePowerSetCallback,
    "IRP_MN_SET_POWER for device power has been send successfully",
    "Send IRP_MN_SET_POWER for Device Power failed",
};

/*
 * Ends the driver's part in a power IRP that it passed down or held: starts
 * the next power IRP, gives back the IRP's remove-lock acquisition and
 * completes it.
 */
static VOID ReleasePowerIrp(PDEVICE_EXTENSION Extension, PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    PoStartNextPowerIrp(Irp);
    IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    CompleteRequest(Irp, Status, Information);
}

/*
 * Passes on a power IRP this driver has nothing to do with, untouched; the
 * driver below answers it. A query or set lets the next power IRP start
 * first; a wait-wake or power-sequence IRP is no business of that
 * serialisation.
 */
static NTSTATUS PassPowerIrpOn(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    UCHAR MinorFunction = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS Status;

    if (MinorFunction == IRP_MN_SET_POWER || MinorFunction == IRP_MN_QUERY_POWER)
        PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    Status = PoCallDriver(Extension->NextStackDevice, Irp);
    /* From here on the IRP's address serves only as the lock's tag. */
    IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    DbgPrint("IRP_MJ_POWER Received : End\r\n");
    return Status;
}

/*
 * Announces and passes the IRP down; Completion finishes the driver's part
 * once the driver below is done.
 */
static NTSTATUS PassPowerIrpDown(PDEVICE_EXTENSION Extension, PIRP Irp, PCSTR ReadyLine,
                                 PIO_COMPLETION_ROUTINE Completion)
{
    DbgPrint(ReadyLine);
    IoMarkIrpPending(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Completion, Extension, TRUE, TRUE, TRUE);
    PoCallDriver(Extension->NextStackDevice, Irp);
    return STATUS_PENDING;
}

/* Records the device state that the IRP sets and announces it to the power manager. */
static VOID RecordDevicePowerState(PDEVICE_OBJECT DeviceObject, PDEVICE_EXTENSION Extension, PIRP Irp)
{
    POWER_STATE PowerState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;

    Extension->DevicePowerState = PowerState.DeviceState;
    PoSetPowerState(DeviceObject, DevicePowerState, PowerState);
}

static BOOLEAN IsHibernateOrShutdown(POWER_ACTION Action)
{
    return (LONG)Action >= PowerActionHibernate && (LONG)Action <= PowerActionShutdownOff;
}

static NTSTATUS QueryDevicePower(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    DbgPrint("Device power state query");
    DbgPrint("Device power state = %d\r\n", IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState);
    return PassPowerIrpDown(Extension, Irp, "Ready to pass down IRP for device power state query",
                            DevicePowerQueryCompletion);
}

static NTSTATUS PowerUpDevice(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    DbgPrint("Device power up\r\n");
    /* The new state is recorded once the driver below has powered up. */
    return PassPowerIrpDown(Extension, Irp, "Ready to pass down IRP for device power state change",
                            DevicePowerSetCompletion);
}

static NTSTATUS PowerDownDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = ExtensionOf(DeviceObject);

    DbgPrint("Device power down\r\n");
    DbgPrint("Ready to pass down IRP for device power state change");
    /* Recorded and announced before the driver below powers down; its outcome is not waited for. */
    RecordDevicePowerState(DeviceObject, Extension, Irp);
    PoStartNextPowerIrp(Irp);
    IoMarkIrpPending(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    PoCallDriver(Extension->NextStackDevice, Irp);
    /* From here on the IRP's address serves only as the lock's tag. */
    IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    return STATUS_PENDING;
}

static NTSTATUS SetDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    LONG NewState = (LONG)Stack->Parameters.Power.State.DeviceState;

    DbgPrint("Device power state change\r\n");
    DbgPrint("Device power state = %d\r\n", NewState);
    /* A smaller number is a higher-powered state, and D0 always powers up. */
    if (NewState <= (LONG)Extension->DevicePowerState || NewState == PowerDeviceD0)
        return PowerUpDevice(Extension, Irp);
    if (NewState == PowerDeviceD3 || IsHibernateOrShutdown(Stack->Parameters.Power.ShutdownType))
        return PowerDownDevice(DeviceObject, Irp);
    /*
     * D1 or D2, deeper than the recorded state, outside hibernation and
     * shutdown: the driver has nothing to save, but the bus driver must see
     * the IRP; the state is recorded once it has succeeded there.
     */
    return PassPowerIrpDown(Extension, Irp, "Ready to pass down IRP for device power state change",
                            DevicePowerSetCompletion);
}

static NTSTATUS QuerySystemPower(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    DbgPrint("System power state query\r\n");
    DbgPrint("System power state = %d\r\n", IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState);
    return PassPowerIrpDown(Extension, Irp, "Ready to pass down IRP for system power state query",
                            SystemPowerQueryCompletion);
}

static NTSTATUS SetSystemPower(PDEVICE_EXTENSION Extension, PIRP Irp)
{
    SYSTEM_POWER_STATE NewState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;

    DbgPrint("System power state change\r\n");
    DbgPrint("System power state = %d\r\n", NewState);
    /* Recorded before any driver below has seen the IRP. */
    Extension->SystemPowerState = NewState;
    return PassPowerIrpDown(Extension, Irp, "Ready to pass down IRP for system power state change",
                            SystemPowerSetCompletion);
}

/* Sends a set or query to its system or device branch by the type of its power state. */
static NTSTATUS DispatchPowerState(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    BOOLEAN Set = Stack->MinorFunction == IRP_MN_SET_POWER;

    switch (Stack->Parameters.Power.Type) {
    case SystemPowerState:
        return Set ? SetSystemPower(Extension, Irp) : QuerySystemPower(Extension, Irp);
    case DevicePowerState:
        return Set ? SetDevicePower(DeviceObject, Irp) : QueryDevicePower(Extension, Irp);
    default:
        return PassPowerIrpOn(Extension, Irp);
    }
}

static VOID TracePowerMinorFunction(UCHAR MinorFunction)
{
    switch (MinorFunction) {
    case IRP_MN_WAIT_WAKE:
        DbgPrint("IRP_MN_WAIT_WAKE Received\r\n");
        break;
    case IRP_MN_POWER_SEQUENCE:
        DbgPrint("IRP_MN_POWER_SEQUENCE Received\r\n");
        break;
    case IRP_MN_SET_POWER:
        DbgPrint("System or device power is going to be change\r\n");
        break;
    case IRP_MN_QUERY_POWER:
        DbgPrint("Power Manager query power state\r\n");
        break;
    default:
        break;
    }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION Extension = ExtensionOf(DeviceObject);
    UCHAR MinorFunction = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    NTSTATUS LockStatus;

    DbgPrint("IRP_MJ_POWER Received : Begin\r\n");
    LockStatus = AcquireRemoveLock(Extension, Irp);
    TracePowerMinorFunction(MinorFunction);
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER) {
        /* Wait-wake, power-sequence and other minor codes are the driver below's to answer. */
        if (NT_SUCCESS(LockStatus))
            return PassPowerIrpOn(Extension, Irp);
        /* The device is being removed: there may be no driver below any more. */
        CompleteRequest(Irp, LockStatus, 0);
        DbgPrint("IRP_MJ_POWER Received : End\r\n");
        return LockStatus;
    }
    if (!NT_SUCCESS(LockStatus)) {
        DbgPrint("Failed in Acquire Remove Lock\r\n");
        PoStartNextPowerIrp(Irp);
        return CompleteRequest(Irp, LockStatus, 0);
    }
    return DispatchPowerState(DeviceObject, Irp);
}

NTSTATUS NTAPI DevicePowerQueryCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    NTSTATUS Status = Irp->IoStatus.Status;

    UNREFERENCED_PARAMETER(DeviceObject);
    DbgPrint("In completion routine for IRP_MN_QUERY_POWER for device power");
    if (!NT_SUCCESS(Status))
        DbgPrint("The lower-layered driver failed IRP_MN_QUERY_POWER handling for Device Power State\r\n");
    /* A success below is answered with plain success and no information. */
    ReleasePowerIrp((PDEVICE_EXTENSION)Context, Irp, NT_SUCCESS(Status) ? STATUS_SUCCESS : Status, 0);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI DevicePowerSetCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)Context;

    DbgPrint("In completion routine for IRP_MN_SET_POWER for device power");
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    /* Only a state the driver below has reached is recorded; the sender gets its status either way. */
    if (NT_SUCCESS(Irp->IoStatus.Status))
        RecordDevicePowerState(DeviceObject, Extension, Irp);
    PoStartNextPowerIrp(Irp);
    IoReleaseRemoveLock(&Extension->RemoveLock, Irp);
    return STATUS_SUCCESS;
}

/*
 * The driver below has completed a system power IRP. A success is turned
 * into a device power IRP for the mapped device state; the system IRP stays
 * held, with its remove-lock acquisition, until the request's callback
 * completes it.
 */
static NTSTATUS ContinueSystemPowerIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PDEVICE_EXTENSION Extension,
                                       const SYSTEM_POWER_STEP *Step)
{
    ULONG SystemState = (ULONG)IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
    NTSTATUS Status = Irp->IoStatus.Status;
    POWER_STATE DeviceState;

    if (!NT_SUCCESS(Status)) {
        DbgPrint(Step->LowerFailedLine);
        ReleasePowerIrp(Extension, Irp, Status, 0);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    /* The table maps system states 0 to 6 only: for any other the answer from below stands. */
    if (SystemState >= CAPABILITY_SYSTEM_STATES) {
        ReleasePowerIrp(Extension, Irp, Status, Irp->IoStatus.Information);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    DeviceState.DeviceState = MappedDeviceState(SystemState);
    /*
     * Before the first capability report the table maps nothing, and a bus
     * may report a state outside D0..D3: there is no device state to ask for.
     */
    if (DeviceState.DeviceState < PowerDeviceD0 || DeviceState.DeviceState > PowerDeviceD3) {
        ReleasePowerIrp(Extension, Irp, Status, Irp->IoStatus.Information);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    /* Stored first: the callback may run before PoRequestPowerIrp returns. */
    Extension->PendingSystemPowerIrp = Irp;
    Status = PoRequestPowerIrp(DeviceObject, Step->DeviceMinorFunction, DeviceState, Step->Callback, Extension, NULL);
    if (Status == STATUS_PENDING) {
        /* The callback may have completed the IRP already: it is not touched again here. */
        DbgPrint(Step->SentLine);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    DbgPrint(Step->SendFailedLine);
    /*
     * A query may be refused; a system set-power IRP must never be failed:
     * it goes on with the answer of the driver below, and the device keeps
     * the state it is in.
     */
    if (Step->DeviceMinorFunction == IRP_MN_SET_POWER)
        ReleasePowerIrp(Extension, Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    else
        ReleasePowerIrp(Extension, Irp, Status, 0);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI SystemPowerQueryCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    DbgPrint("In completion routine for IRP_MN_QUERY_POWER for system power");
    return ContinueSystemPowerIrp(DeviceObject, Irp, (PDEVICE_EXTENSION)Context, &SystemQueryStep);
}

NTSTATUS NTAPI SystemPowerSetCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    DbgPrint("In completion routine for IRP_MN_SET_POWER for system power");
    return ContinueSystemPowerIrp(DeviceObject, Irp, (PDEVICE_EXTENSION)Context, &SystemSetStep);
}

VOID NTAPI DevicePowerQueryCallback(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                    PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)Context;

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    DbgPrint("In callback routine for PoRequestPowerIrp of device power query\r\n");
    ReleasePowerIrp(Extension, Extension->PendingSystemPowerIrp, IoStatus->Status, IoStatus->Information);
}

VOID NTAPI DevicePowerSetCallback(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    PDEVICE_EXTENSION Extension = (PDEVICE_EXTENSION)Context;
    PIRP SystemIrp = Extension->PendingSystemPowerIrp;
    SYSTEM_POWER_STATE SystemState = IoGetCurrentIrpStackLocation(SystemIrp)->Parameters.Power.State.SystemState;

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    DbgPrint("In callback routine for PoRequestPowerIrp of device power setting\r\n");
    /* The device state was recorded by the device IRP itself, where it reached the state. */
    Extension->SystemPowerState = SystemState;
    /* A system set-power IRP is never failed: a device IRP that failed leaves it with the answer from below. */
    if (!NT_SUCCESS(IoStatus->Status)) {
        ReleasePowerIrp(Extension, SystemIrp, SystemIrp->IoStatus.Status, SystemIrp->IoStatus.Information);
        return;
    }
    ReleasePowerIrp(Extension, SystemIrp, IoStatus->Status, IoStatus->Information);
}
