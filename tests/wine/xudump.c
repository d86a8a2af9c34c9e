/* A kernel-mode stand-in for the dump driver behind "\\.\XUDUMP", so that the real
 * PX71.dll reaches configuration space through Wine's I/O manager. It holds the
 * registers that the simulated default machine holds for the adapter's bridge function
 * (sim/default_machine.cpp), on the same bus; a bus it does not hold reads all ones, and
 * requests for REFUSED_BUS fail, as a driver fails a bus it does not know. A read of
 * COUNT_BUS answers how often the device was opened, that read's own open included, so
 * that a test can tell whether a program opened it.
 * The cases it answers: tests/support/dump_driver_cases.h. */
#include <ddk/wdm.h>

#define IOCTL_READ_CONFIG 0x9C40243C  /* device 0x9C40, function 0x90F, METHOD_BUFFERED */
#define IOCTL_WRITE_CONFIG 0x9C402440 /* device 0x9C40, function 0x910, METHOD_BUFFERED */
#define DUMP_DEVICE_TYPE 0x9C40
#define BRIDGE_BUS 6
#define REFUSED_BUS 0xFE
#define COUNT_BUS 0xFD

static LONG opens;

struct Register {
    UCHAR bus;
    UCHAR offset;
    ULONG value;
    ULONG writable; /* bits a write can change */
};

/* Requests arrive one at a time from the tests: the table needs no lock. */
static struct Register registers[] = {
    {BRIDGE_BUS, 0x00, 0x02E31217, 0},          /* vendor and device ID */
    {BRIDGE_BUS, 0x20, 0xD3F0D300, 0},          /* memory base and limit */
    {BRIDGE_BUS, 0x50, 0x10110000, 0x0000FFFF}, /* Link Control (bit 4 Link Disable), Link Status x1 */
    {BRIDGE_BUS, 0x58, 0x00400000, 0x0000FFFF}, /* Slot Control, Slot Status (bit 22 Presence Detect) */
    {BRIDGE_BUS, 0x94, 0x01021E2A, 0},          /* subsystem ID */
};
#define REGISTER_COUNT (sizeof registers / sizeof registers[0])

static BOOLEAN BusAnswers(UCHAR bus)
{
    for (ULONG i = 0; i < REGISTER_COUNT; ++i)
        if (registers[i].bus == bus) return TRUE;
    return FALSE;
}

static struct Register* Find(UCHAR bus, UCHAR offset)
{
    for (ULONG i = 0; i < REGISTER_COUNT; ++i)
        if (registers[i].bus == bus && registers[i].offset == offset) return &registers[i];
    return NULL;
}

/* Configuration cycles address dwords: an unaligned offset names the dword it lies in;
 * a register the table does not list reads 0 on a bus that answers. */
static ULONG ReadRegister(UCHAR bus, UCHAR offset)
{
    struct Register* r = Find(bus, offset & 0xFC);
    if (r) return r->value;
    return BusAnswers(bus) ? 0 : 0xFFFFFFFF;
}

static void WriteRegister(UCHAR bus, UCHAR offset, ULONG value)
{
    struct Register* r = Find(bus, offset & 0xFC);
    if (r) r->value = (r->value & ~r->writable) | (value & r->writable);
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS NTAPI CreateClose(PDEVICE_OBJECT device, PIRP irp)
{
    UNREFERENCED_PARAMETER(device);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CREATE) InterlockedIncrement(&opens);
    return Complete(irp, STATUS_SUCCESS, 0);
}

/* METHOD_BUFFERED: the 8-byte request arrives in SystemBuffer, and the reply goes back
 * through it; Information says how many bytes the I/O manager copies to the caller. */
static NTSTATUS NTAPI DeviceControl(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG in_size = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out_size = stack->Parameters.DeviceIoControl.OutputBufferLength;
    UCHAR* buffer = irp->AssociatedIrp.SystemBuffer;
    UNREFERENCED_PARAMETER(device);

    if (code != IOCTL_READ_CONFIG && code != IOCTL_WRITE_CONFIG) return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (in_size < 8 || out_size < (code == IOCTL_READ_CONFIG ? 4u : 1u) || buffer[0] == REFUSED_BUS)
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
    if (code == IOCTL_READ_CONFIG) {
        *(ULONG*)buffer = buffer[0] == COUNT_BUS ? (ULONG)opens : ReadRegister(buffer[0], buffer[1]);
        return Complete(irp, STATUS_SUCCESS, 4);
    }
    WriteRegister(buffer[0], buffer[1], *(ULONG*)(buffer + 4));
    buffer[0] = 1;
    return Complete(irp, STATUS_SUCCESS, 1);
}

static UNICODE_STRING device_name = RTL_CONSTANT_STRING(L"\\Device\\XUDUMP");
static UNICODE_STRING link_name = RTL_CONSTANT_STRING(L"\\DosDevices\\XUDUMP");

static void NTAPI Unload(PDRIVER_OBJECT driver)
{
    IoDeleteSymbolicLink(&link_name);
    IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path)
{
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status;
    UNREFERENCED_PARAMETER(registry_path);

    /* Exclusive, as the simulator has it (Wine does not enforce it). */
    status = IoCreateDevice(driver, 0, &device_name, DUMP_DEVICE_TYPE, 0, TRUE, &device);
    if (!NT_SUCCESS(status)) return status;
    status = IoCreateSymbolicLink(&link_name, &device_name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    driver->MajorFunction[IRP_MJ_CREATE] = CreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
