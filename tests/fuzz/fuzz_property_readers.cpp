// The two property readers over a device whose properties hold arbitrary data of
// arbitrary type and size, read into buffers of arbitrary size.
#include "library/device_tree.h"
#include "library/px71.h"
#include "sim/machine.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 4) return 0;
    const DWORD type = data[0] % 12;
    const DWORD buffer_size = data[1];
    const ULONG property = data[2] % 2 ? CM_DRP_UPPERFILTERS : CM_DRP_BUSNUMBER;
    const bool with_match = data[3] & 1;
    sim::Machine machine;
    sim::ActiveMachine active(machine);
    sim::NewDevice dev;
    DEVINST node = machine.tree.Add(machine.tree.root(), dev);
    machine.tree.SetProperty(node, property, type, sim::Bytes(data + 4, data + size));

    std::vector<BYTE> buffer(buffer_size);
    const DWORD match_number = 6;
    const void* match = with_match ? (property == CM_DRP_BUSNUMBER ? static_cast<const void*>(&match_number)
                                                                   : static_cast<const void*>(u"PX71"))
                                   : nullptr;
    GetDevNodeRegistryProperty(node, property, match, buffer.data(), buffer_size);

    px71::UniqueDevInfo set = px71::AllDevices();
    px71::ForEachDevice(set.get(), [&](SP_DEVINFO_DATA& element) {
        GetDeviceRegistryProperty(set.get(), &element, property - 1, match, buffer.data(), buffer_size);
        return px71::Walk::Next;
    });
    set.reset();
    if (!(machine.Outstanding() == sim::Accounting{})) {
        std::fprintf(stderr, "left behind: %s\n", sim::Describe(machine.Outstanding()).c_str());
        std::abort();
    }
    return 0;
}
