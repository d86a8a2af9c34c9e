#include "sim/default_machine.h"

#include "sim/slot.h"

namespace sim {
namespace {

NewDevice PciDevice(std::u16string hardware_id, std::u16string class_code, std::u16string description,
                     DWORD bus, const GUID& setup_class, std::u16string service)
{
    NewDevice dev;
    dev.enumerator = "PCI";
    dev.class_guid = setup_class;
    dev.hardware_ids = {hardware_id, hardware_id.substr(0, hardware_id.rfind(u'&'))};
    dev.compatible_ids = {u"PCI\\CC_" + class_code, u"PCI\\CC_" + class_code.substr(0, 4)};
    dev.description = std::move(description);
    dev.bus_number = bus;
    dev.service = std::move(service);
    return dev;
}

NewDevice Bridge(std::u16string hardware_id, std::u16string description, DWORD bus)
{
    return PciDevice(std::move(hardware_id), u"060400", std::move(description), bus, kClassSystem, u"pci");
}

// USB and storage nodes report bus numbers too, each counting the buses of its own kind
// (IRP_MN_QUERY_BUS_INFORMATION: "a number that distinguishes the bus from other buses
// of the same type"). Chosen here to coincide with PCI bus numbers of the adapter, as
// they can on a real machine: only a PCI node's number names a PCI bus.
constexpr DWORD kOhciUsbBus = 3;  // after the chipset's own USB buses 0 to 2
constexpr DWORD kEhciUsbBus = 4;
constexpr DWORD kStorageBus = 0;

NewDevice UsbDevice(std::u16string hardware_id, std::u16string description, std::u16string service,
                    DWORD bus = kEhciUsbBus)
{
    NewDevice dev;
    dev.enumerator = "USB";
    dev.bus_number = bus;
    dev.class_guid = kClassUsb;
    dev.hardware_ids = {std::move(hardware_id)};
    dev.description = std::move(description);
    dev.service = std::move(service);
    return dev;
}

// The slot bridge function's configuration registers.
void SlotBridgeRegisters(DumpDriver& dump, std::uint8_t bus, bool card_present)
{
    dump.Set(bus, 0x00, 0x02E31217);
    dump.Set(bus, 0x94, 0x01021E2A);
    dump.Set(bus, 0x20, 0xD3F0D300);                                  // memory base and limit
    dump.Set(bus, 0x58, card_present ? 0x00400000u : 0u, 0x0000FFFF);  // Slot Status: Presence Detect
    dump.Set(bus, 0x50, 0x10110000, 0x0000FFFF);                       // Link Status x1, link on
}

std::u16string DiskInterfacePath(std::u16string_view instance)
{
    return u"\\\\?\\" + std::u16string(instance) + u"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
}

NewDevice DiskDevice(std::string enumerator, std::u16string hardware_id, std::u16string friendly_name)
{
    NewDevice disk;
    disk.enumerator = std::move(enumerator);
    disk.class_guid = kClassDiskDrive;
    disk.hardware_ids = {std::move(hardware_id), u"GenDisk"};
    disk.description = u"Disk drive";
    disk.friendly_name = std::move(friendly_name);
    disk.service = u"disk";
    disk.bus_number = kStorageBus;
    return disk;
}

// Disks and volumes: the system disk behind the chipset's own SATA controller, the
// adapter's two SATA disks, and the card reader's CF and SD media. Added after every
// other node so the rest of the tree keeps its enumeration order.
void DefaultStorage(Machine& m, DefaultNodes& n)
{
    DeviceTree& t = m.tree;
    const GUID hdc = {0x4D36E96A, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    n.system_controller = t.Add(n.root_complex, PciDevice(u"PCI\\VEN_8086&DEV_1C02&SUBSYS_00000000&REV_05", u"010601",
                                                          u"Standard SATA AHCI Controller", 0, hdc, u"storahci"));
    n.system_disk = t.Add(n.system_controller,
                          DiskDevice("SCSI", u"SCSI\\DiskSAMSUNG_SSD_840_____DXT0", u"Samsung SSD 840 Series"));

    AddDisk(m, n.system_disk, 0, DiskInterfacePath(u"scsi#disk&ven_samsung&prod_ssd_840#4&1a2b3c4d&0&000000"));
    AddDisk(m, n.sata_disk[0], 1, DiskInterfacePath(u"scsi#disk&ven_st3500418as#5&2c1d0f3&0&000000"));
    AddDisk(m, n.sata_disk[1], 2, DiskInterfacePath(u"scsi#disk&ven_wdc&prod_wd5000aaks#5&3e7a91b&0&000000"));
    AddVolume(m, 'C', 0, 120'000'000'000ull);
    AddVolume(m, 'D', 1, 500'107'862'016ull);
    AddVolume(m, 'E', 2, 500'107'862'016ull);

    const char16_t* const slot_names[2] = {u"CF", u"SD"};
    const ULONGLONG media_bytes[2] = {2'013'265'920ull, 3'965'190'144ull};
    for (int i = 0; i < 2; ++i) {
        std::u16string name = slot_names[i];
        n.reader_disk[i] = t.Add(n.reader, DiskDevice("USBSTOR", u"USBSTOR\\DiskZEK-PX71____" + name + u"______1.00",
                                                      u"ZEK-PX71 " + name + u" USB Device"));
        const DWORD number = static_cast<DWORD>(3 + i);
        PhysicalDisk& d = AddDisk(m, n.reader_disk[i], number,
                                  DiskInterfacePath(u"usbstor#disk&ven_zek-px71&prod_" + Lower(name) +
                                                    u"&rev_1.00#000000000001&" + std::u16string(1, static_cast<char16_t>(u'0' + i))));
        d.removable = true;
        d.vendor_id = "ZEK     ";
        d.product_id = "ZEK-PX71    " + Narrow(name) + "  ";
        d.revision = "1.00";
        d.block_size = 512;
        d.blocks = media_bytes[i] / 512;
        AddVolume(m, static_cast<char>('F' + i), number, media_bytes[i], DRIVE_REMOVABLE);
    }
}

} // namespace

DefaultNodes BuildDefaultMachine(Machine& m)
{
    DefaultNodes n;
    DeviceTree& t = m.tree;

    NewDevice complex;
    complex.enumerator = "ACPI";
    complex.class_guid = kClassSystem;
    complex.hardware_ids = {u"ACPI\\PNP0A08", u"*PNP0A08"};
    complex.compatible_ids = {u"ACPI\\PNP0A03", u"*PNP0A03"};
    complex.description = u"PCI Express Root Complex";
    complex.service = u"pci";
    complex.bus_number = 0;
    n.root_complex = t.Add(t.root(), complex);

    n.root_port = t.Add(n.root_complex, Bridge(u"PCI\\VEN_8086&DEV_1C10&SUBSYS_00000000&REV_B5",
                                               u"PCI Express Root Port", 0));
    n.adapter = t.Add(n.root_port, Bridge(u"PCI\\VEN_1E2A&DEV_0102&SUBSYS_01021E2A&REV_01",
                                          u"PX71 PCI Express Switch Upstream Port", 1));
    for (int i = 0; i < 4; ++i)
        n.downstream[i] = t.Add(n.adapter, Bridge(u"PCI\\VEN_1E2A&DEV_0103&SUBSYS_01021E2A&REV_01",
                                                  u"PX71 PCI Express Switch Downstream Port", 2));

    for (int i = 0; i < 2; ++i) {
        auto sata = PciDevice(u"PCI\\VEN_1095&DEV_3132&SUBSYS_71321095&REV_01", u"010400",
                              u"Silicon Image SiI 3132 SATALink Controller", static_cast<DWORD>(3 + i),
                              kClassScsiAdapter, u"SI3132");
        n.sata[i] = t.Add(n.downstream[i], sata);
        n.sata_disk[i] = t.Add(n.sata[i], DiskDevice("SCSI", u"SCSI\\DiskST3500418AS_____CC38",
                                                     i == 0 ? u"ST3500418AS" : u"WDC WD5000AAKS-00V1A0"));
    }

    n.cardbus = t.Add(n.downstream[2], PciDevice(u"PCI\\VEN_1217&DEV_8134&SUBSYS_01021E2A&REV_02", u"060700",
                                                 u"O2Micro OZ711EZ1 CardBus Controller", 5, kClassPcmcia, u"pcmcia"));
    NewDevice cardbus_card;
    cardbus_card.enumerator = "PCMCIA";
    cardbus_card.class_guid = kClassPcmcia;
    cardbus_card.hardware_ids = {u"PCMCIA\\CardBus-Network-0001"};
    cardbus_card.description = u"CardBus Fast Ethernet Card";
    cardbus_card.service = u"e100b";
    n.cardbus_card = t.Add(n.cardbus, cardbus_card);

    n.slot_bridge = t.Add(n.downstream[3], Bridge(u"PCI\\VEN_1217&DEV_02E3&SUBSYS_01021E2A&REV_01",
                                                  u"O2Micro PCI Express ExpressCard Slot", kDefaultSlotBus));
    n.express_card = t.Add(n.slot_bridge, Bridge(u"PCI\\VEN_104C&DEV_8240&SUBSYS_00000000&REV_00",
                                                 u"ExpressCard PCI Express to PCI Bridge", kDefaultCardBus));
    n.ohci = t.Add(n.downstream[3], PciDevice(u"PCI\\VEN_1217&DEV_02EF&SUBSYS_01021E2A&REV_01", u"0C0310",
                                              u"O2Micro OHCI USB Host Controller", kDefaultSlotBus, kClassUsb,
                                              u"usbohci"));
    n.ehci = t.Add(n.downstream[3], PciDevice(u"PCI\\VEN_1217&DEV_02F1&SUBSYS_01021E2A&REV_01", u"0C0320",
                                              u"O2Micro EHCI USB Host Controller", kDefaultSlotBus, kClassUsb,
                                              u"usbehci"));
    n.ohci_root_hub = t.Add(n.ohci, UsbDevice(u"USB\\ROOT_HUB&VID1217&PID02EF&REV0001", u"USB Root Hub", u"usbhub",
                                                  kOhciUsbBus));
    n.ehci_root_hub =
        t.Add(n.ehci, UsbDevice(u"USB\\ROOT_HUB20&VID1217&PID02F1&REV0001", u"USB Root Hub", u"usbhub"));
    n.usb_card = t.Add(n.ehci_root_hub,
                       UsbDevice(u"USB\\VID_0BDA&PID_8150&REV_0100", u"USB Ethernet Adapter",
                                 u"rtl8150"));
    n.reader_hub = t.Add(n.ehci_root_hub, UsbDevice(u"USB\\VID_0409&PID_005A&REV_0100", u"Generic USB Hub",
                                                    u"usbhub"));
    n.reader = t.Add(n.reader_hub, UsbDevice(u"USB\\VID_1E2A&PID_0071&REV_0100", u"USB Mass Storage Device",
                                             u"USBSTOR"));

    SlotBridgeRegisters(m.dump, kDefaultSlotBus, true);
    m.dump.Set(kDefaultCardBus, 0x00, 0x8240104C);
    Slot slot;
    slot.bus = kDefaultSlotBus;
    slot.bridge = n.slot_bridge;
    slot.card = n.express_card;
    slot.card_bus = kDefaultCardBus;
    slot.inserted = true;
    AttachSlot(m, slot);
    DefaultStorage(m, n);
    // A second USB card behind the reader's hub, so that ejecting a medium moves the
    // cards after it up by one. Added last to keep the enumeration order before it.
    n.usb_card_after_reader = t.Add(n.ehci_root_hub, UsbDevice(u"USB\\VID_0A12&PID_0001&REV_8891",
                                                                 u"USB Bluetooth Adapter", u"BTHUSB"));

    m.registry.CreateKey(kServiceKey);
    m.registry.SetDword(kServiceKey, u"Oz888Len", 0x00400000);
    m.registry.SetDword(kServiceKey, u"USBLen", 0x00100000);
    m.registry.SetString(kServiceKey, u"FilePathName", u"C:\\Program Files\\PX71\\PX71 HotPlug Tool\\PX71.exe");
    return n;
}

} // namespace sim
