// px71sim: boots a simulated Windows machine with the adapter and shows what the
// PX71 library finds on it.
#include "library/config_space.h"
#include "library/device_tree.h"
#include "library/px71.h"
#include "sim/default_machine.h"
#include "sim/machine.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::string Description(DEVINST node)
{
    BYTE buffer[520];
    GetDevNodeRegistryProperty(node, CM_DRP_DEVICEDESC, nullptr, buffer, sizeof buffer - 2);
    buffer[sizeof buffer - 2] = buffer[sizeof buffer - 1] = 0;
    return sim::Narrow(reinterpret_cast<const char16_t*>(buffer));
}

std::string FirstHardwareId(DEVINST node)
{
    BYTE buffer[520];
    GetDevNodeRegistryProperty(node, CM_DRP_HARDWAREID, nullptr, buffer, sizeof buffer - 2);
    buffer[sizeof buffer - 2] = buffer[sizeof buffer - 1] = 0;
    return sim::Narrow(reinterpret_cast<const char16_t*>(buffer));
}

// The first present PCI device whose hardware IDs begin with Prefix.
bool FindPciDevice(const char16_t* prefix, DEVINST& node, DWORD& bus)
{
    px71::UniqueDevInfo set = px71::PresentPciDevices();
    if (!set) return false;
    bool found = false;
    px71::ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& data) {
        if (!GetDeviceRegistryProperty(set.get(), &data, SPDRP_HARDWAREID, prefix, nullptr, 0)) return px71::Walk::Next;
        node = data.DevInst;
        GetDeviceRegistryProperty(set.get(), &data, SPDRP_BUSNUMBER, nullptr, reinterpret_cast<BYTE*>(&bus),
                                  sizeof bus);
        found = true;
        return px71::Walk::Stop;
    });
    return found;
}

void Register(DWORD bus, DWORD reg, const char* meaning)
{
    DWORD value = 0;
    if (XU_ReadPCI(bus, reg, &value))
        std::printf("    0x%02X  %08X  %s\n", static_cast<unsigned>(reg), static_cast<unsigned>(value), meaning);
    else
        std::printf("    0x%02X  (read failed)  %s\n", static_cast<unsigned>(reg), meaning);
}

int Usage(const char* program)
{
    std::fprintf(stderr, "usage: %s\n  Boots the embedded default machine and shows what PX71 finds there.\n",
                 program);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1) {
        if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
            Usage(argv[0]);
            return 0;
        }
        std::fprintf(stderr, "%s: unknown argument '%s'\n", argv[0], argv[1]);
        return Usage(argv[0]);
    }

    sim::Machine machine;
    sim::BuildDefaultMachine(machine);
    sim::ActiveMachine active(machine);

    std::printf("PX71 on the simulated machine (embedded default)\n\n");

    DEVINST adapter = 0;
    DWORD adapter_bus = 0;
    if (!FindPciDevice(u"PCI\\VEN_1E2A&DEV_0102", adapter, adapter_bus)) {
        std::printf("No PX71 adapter found.\n");
        return 1;
    }
    std::printf("Adapter's bridge   %s\n                   %s, bus %u\n", Description(adapter).c_str(),
                FirstHardwareId(adapter).c_str(), static_cast<unsigned>(adapter_bus));
    DEVINST root_port = px71::FindTopBridge(adapter);
    std::printf("Its root port      %s\n                   %s\n\n", Description(root_port).c_str(),
                FirstHardwareId(root_port).c_str());

    DEVINST slot = 0;
    DWORD slot_bus = 0;
    if (!FindPciDevice(u"PCI\\VEN_1217&DEV_02E3", slot, slot_bus)) {
        std::printf("No ExpressCard slot bridge found.\n");
        return 1;
    }
    std::printf("Slot bridge        %s, bus %u\n  configuration registers through the dump driver:\n",
                Description(slot).c_str(), static_cast<unsigned>(slot_bus));
    Register(slot_bus, 0x00, "vendor and device ID");
    Register(slot_bus, 0x94, "subsystem ID");
    Register(slot_bus, 0x58, "Slot Control / Slot Status");
    Register(slot_bus, 0x50, "Link Control / Link Status");
    Register(slot_bus, 0x20, "memory base and limit");

    DWORD slot_status = 0, link = 0;
    if (XU_ReadPCI(slot_bus, 0x58, &slot_status) && XU_ReadPCI(slot_bus, 0x50, &link))
        std::printf("\n  card in the slot: %s; link: %s\n", (slot_status & 0x00400000) ? "yes" : "no",
                    (link & 0x10) ? "off" : "on");

    sim::Accounting left = machine.Outstanding();
    if (!(left == sim::Accounting{})) {
        std::printf("\nLeft open: %s\n", sim::Describe(left).c_str());
        return 1;
    }
    return 0;
}
