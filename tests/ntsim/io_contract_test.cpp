// What the I/O manager does around a driver, as Windows documents it: the
// names DriverEntry gets, the devices it made made ready, empty dispatch
// entries defaulted, object directories and symbolic links, the power
// callback's status block, and the architecture's IRQL values.
#include "inproc.h"

namespace pdkit::test {
namespace {

using IoContractTest = MachineTest;

template <typename T>
T call(const ntsim::Driver& driver, const char* name) {
  auto* routine = reinterpret_cast<T (*)()>(driver.symbol(name));
  EXPECT_NE(routine, nullptr) << name;
  return routine != nullptr ? routine() : T{};
}

std::u16string text(const WCHAR* units) { return reinterpret_cast<const char16_t*>(units); }

TEST_F(IoContractTest, DriverEntryGetsItsOwnServiceKeyAndTheHardwareDatabase) {
  ntsim::Driver& driver = machine->load(driverPath("contract"));
  EXPECT_EQ(text(call<const WCHAR*>(driver, "ContractRegistryPath")),
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\contract");
  EXPECT_EQ(text(call<const WCHAR*>(driver, "ContractHardwareDatabase")),
            u"\\REGISTRY\\MACHINE\\HARDWARE\\DESCRIPTION\\SYSTEM");
  EXPECT_EQ(utf16(driver.object()->DriverExtension->ServiceKeyName), u"contract");
  EXPECT_EQ(utf16(driver.object()->DriverName), u"\\Driver\\contract");
  EXPECT_EQ(call<NTSTATUS>(driver, "ContractMissingDirectoryStatus"), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(IoContractTest, DeviceMadeInDriverEntryOpensThroughItsLinkAndEmptyEntriesFailAsInvalid) {
  ntsim::Driver& driver = machine->load(driverPath("contract"));
  EXPECT_EQ(driver.object()->DeviceObject->Flags & DO_DEVICE_INITIALIZING, 0u);
  auto open = machine->open("\\\\.\\CONTRACT");
  ASSERT_EQ(open.result.status, STATUS_SUCCESS);
  UCHAR buffer[4];
  EXPECT_EQ(machine->read(open.handle, buffer, sizeof buffer).status, STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(machine->close(open.handle).status, STATUS_SUCCESS);
  machine->unload(driver);
  EXPECT_EQ(machine->open("\\\\.\\CONTRACT").result.status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(IoContractTest, NamesNeedAnExistingDirectoryAndLinksFollowTheirTarget) {
  PDRIVER_OBJECT driver = machine->createDriverObject();
  driver->MajorFunction[IRP_MJ_CREATE] = driver->MajorFunction[IRP_MJ_CLEANUP] = driver->MajorFunction[IRP_MJ_CLOSE] =
      succeed;
  struct Case {
    const char16_t* name;
    NTSTATUS status;
  };
  const Case cases[] = {{u"\\Device1\\X", STATUS_OBJECT_PATH_NOT_FOUND},
                        {u"\\Device\\X\\Y", STATUS_OBJECT_PATH_NOT_FOUND},
                        {u"Device\\X", STATUS_OBJECT_PATH_SYNTAX_BAD},
                        {u"\\Device\\LINKED", STATUS_SUCCESS},
                        {u"\\??\\LINKED", STATUS_SUCCESS}};
  PDEVICE_OBJECT device = nullptr;
  for (const auto& c : cases) {
    UNICODE_STRING name = unicode(c.name);
    PDEVICE_OBJECT made = nullptr;
    EXPECT_EQ(IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &made), c.status)
        << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
    if (made != nullptr) made->Flags &= ~DO_DEVICE_INITIALIZING;
    if (device == nullptr) device = made;
  }
  // \??\LINKED took the \DosDevices name: a link there collides.
  UNICODE_STRING link = unicode(u"\\DosDevices\\LINKED"), other = unicode(u"\\DosDevices\\OTHER");
  UNICODE_STRING target = unicode(u"\\Device\\LINKED");
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
  ASSERT_EQ(IoCreateSymbolicLink(&other, &target), STATUS_SUCCESS);
  auto open = machine->open("\\\\.\\other");
  ASSERT_EQ(open.result.status, STATUS_SUCCESS);
  EXPECT_EQ(machine->fileObject(open.handle)->DeviceObject, device);
  machine->close(open.handle);
  EXPECT_EQ(IoDeleteSymbolicLink(&other), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&other), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(machine->open("\\\\.\\OTHER").result.status, STATUS_OBJECT_NAME_NOT_FOUND);
}

PIRP g_powerIrp = nullptr;
PIO_STATUS_BLOCK g_callbackStatus = nullptr;

NTSTATUS passPower(PDEVICE_OBJECT device, PIRP irp) {
  g_powerIrp = irp;
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(contextOf<DEVICE_OBJECT>(device), irp);
}

void powerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK status) { g_callbackStatus = status; }

TEST_F(IoContractTest, PowerRequestCallbackSeesTheIrpsOwnStatusBlock) {
  ntsim::DeviceNode& node = machine->createNode();
  PDRIVER_OBJECT driver = machine->createDriverObject();
  driver->MajorFunction[IRP_MJ_POWER] = passPower;
  PDEVICE_OBJECT device = makeDevice(driver, node.pdo(), nullptr, node.pdo());
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  EXPECT_EQ(PoRequestPowerIrp(device, IRP_MN_SET_POWER, state, powerDone, nullptr, nullptr), STATUS_PENDING);
  ASSERT_NE(g_powerIrp, nullptr);
  EXPECT_EQ(g_callbackStatus, &g_powerIrp->IoStatus);
  IoDetachDevice(node.pdo());
  IoDeleteDevice(device);
}

TEST_F(IoContractTest, IrqlValuesAreThoseOfTheArchitecture) {
#if defined(__x86_64__) || defined(__aarch64__)
  EXPECT_EQ(HIGH_LEVEL, 15);
  EXPECT_EQ(CLOCK_LEVEL, 13);
  EXPECT_EQ(SYNCH_LEVEL, 12);
#else
  EXPECT_EQ(HIGH_LEVEL, 31);
  EXPECT_EQ(CLOCK_LEVEL, 28);
#endif
  EXPECT_EQ(DISPATCH_LEVEL, 2);
}

}  // namespace
}  // namespace pdkit::test
