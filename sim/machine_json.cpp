#include "sim/machine_json.h"

#include "sim/slot.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace sim {
namespace {

using Json = nlohmann::json;
using OrderedJson = nlohmann::ordered_json;

// A wrong value in a description, with the path of the element that holds it.
struct DescriptionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& path, const std::string& what)
{
    throw DescriptionError(path + ": " + what);
}

struct NamedClass {
    const char* name;
    const GUID* guid;
};
const NamedClass kClasses[] = {
    {"System", &kClassSystem},       {"USB", &kClassUsb},           {"PCMCIA", &kClassPcmcia},
    {"SCSIAdapter", &kClassScsiAdapter}, {"DiskDrive", &kClassDiskDrive}, {"Volume", &kClassVolume},
};

GUID ParseClass(const std::string& text, const std::string& path)
{
    for (const auto& c : kClasses)
        if (text == c.name) return *c.guid;
    GUID g{};
    unsigned d[11];
    if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d[0], &d[1], &d[2], &d[3], &d[4], &d[5],
                    &d[6], &d[7], &d[8], &d[9], &d[10]) != 11 ||
        text.size() != 38)
        Fail(path, "\"" + text + "\" is neither a class name (System, USB, PCMCIA, SCSIAdapter, DiskDrive, Volume) "
                                 "nor a GUID like {4D36E97D-E325-11CE-BFC1-08002BE10318}");
    g.Data1 = d[0];
    g.Data2 = static_cast<std::uint16_t>(d[1]);
    g.Data3 = static_cast<std::uint16_t>(d[2]);
    for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<std::uint8_t>(d[3 + i]);
    return g;
}

std::string ClassText(const GUID& guid)
{
    for (const auto& c : kClasses)
        if (*c.guid == guid) return c.name;
    return GuidText(guid);
}

const Json* Member(const Json& object, const char* key) { return object.contains(key) ? &object.at(key) : nullptr; }

std::string String(const Json& value, const std::string& path)
{
    if (!value.is_string()) Fail(path, "expected a string");
    return value.get<std::string>();
}

bool Bool(const Json& value, const std::string& path)
{
    if (!value.is_boolean()) Fail(path, "expected true or false");
    return value.get<bool>();
}

// A 32-bit number, written as a JSON number or as a string "0x..." (registers read
// better in hexadecimal).
std::uint32_t Number(const Json& value, const std::string& path)
{
    if (value.is_number_unsigned() && value.get<std::uint64_t>() <= 0xFFFFFFFFu)
        return static_cast<std::uint32_t>(value.get<std::uint64_t>());
    if (value.is_string()) {
        const std::string text = value.get<std::string>();
        char* end = nullptr;
        unsigned long long n = std::strtoull(text.c_str(), &end, 0);
        if (!text.empty() && end && *end == 0 && n <= 0xFFFFFFFFull) return static_cast<std::uint32_t>(n);
    }
    Fail(path, "expected a number from 0 to 4294967295 (or a string such as \"0x1E2A\")");
}

// A byte count or block count: a JSON number up to 2^64 - 1.
std::uint64_t Number64(const Json& value, const std::string& path)
{
    if (value.is_number_unsigned()) return value.get<std::uint64_t>();
    Fail(path, "expected a number from 0 to 18446744073709551615");
}

// A count of things held open.
int Count(const Json& value, const std::string& path)
{
    const std::uint32_t n = Number(value, path);
    if (n > 0x7FFFFFFF) Fail(path, "too many");
    return static_cast<int>(n);
}

WideList Strings(const Json& value, const std::string& path)
{
    if (!value.is_array()) Fail(path, "expected a list of strings");
    WideList out;
    for (std::size_t i = 0; i < value.size(); ++i) out.push_back(Widen(String(value[i], path + "[" + std::to_string(i) + "]")));
    return out;
}

void CheckKeys(const Json& object, const std::string& path, std::initializer_list<const char*> known)
{
    if (!object.is_object()) Fail(path, "expected an object");
    for (const auto& [key, value] : object.items()) {
        bool ok = false;
        for (const char* k : known) ok |= key == k;
        if (!ok) Fail(path, "unknown member \"" + key + "\"");
    }
}

PNP_VETO_TYPE ParseVeto(const std::string& text, const std::string& path)
{
    if (text == "OutstandingOpen") return PNP_VetoOutstandingOpen;
    if (text == "Device") return PNP_VetoDevice;
    if (text == "Driver") return PNP_VetoDriver;
    if (text == "WindowsApp") return PNP_VetoWindowsApp;
    if (text == "WindowsService") return PNP_VetoWindowsService;
    Fail(path, "unknown veto \"" + text + "\" (OutstandingOpen, Device, Driver, WindowsApp, WindowsService)");
}

// A slot waits for the registers of its bridge function, which the dump driver's
// part of the description brings after the devices.
struct PendingSlot {
    DEVINST bridge = 0;
    std::uint8_t bus = 0;
    std::uint8_t card_bus = 0;
    bool inserted = false;
};

void LoadDisk(Machine& m, DEVINST node, const Json& d, const std::string& path)
{
    CheckKeys(d, path,
              {"number", "interface_path", "removable", "medium", "vendor_id", "product_id", "revision", "blocks",
               "block_size", "fail_pass_through", "eject_supported", "raw_handles"});
    const Json* number = Member(d, "number");
    if (!number) Fail(path, "a disk needs its \"number\" (the N of \\\\.\\PHYSICALDRIVEN)");
    const DWORD n = Number(*number, path + ".number");
    if (m.storage.disks.count(n)) Fail(path + ".number", "disk " + std::to_string(n) + " is described twice");
    std::u16string interface_path;
    if (auto* v = Member(d, "interface_path")) interface_path = Widen(String(*v, path + ".interface_path"));
    PhysicalDisk& disk = AddDisk(m, node, n, std::move(interface_path));
    if (auto* v = Member(d, "removable")) disk.removable = Bool(*v, path + ".removable");
    if (auto* v = Member(d, "medium")) disk.medium = Bool(*v, path + ".medium");
    if (auto* v = Member(d, "vendor_id")) disk.vendor_id = String(*v, path + ".vendor_id");
    if (auto* v = Member(d, "product_id")) disk.product_id = String(*v, path + ".product_id");
    if (auto* v = Member(d, "revision")) disk.revision = String(*v, path + ".revision");
    if (auto* v = Member(d, "blocks")) disk.blocks = Number64(*v, path + ".blocks");
    if (auto* v = Member(d, "block_size")) disk.block_size = Number(*v, path + ".block_size");
    if (auto* v = Member(d, "fail_pass_through")) disk.fail_pass_through = Bool(*v, path + ".fail_pass_through");
    if (auto* v = Member(d, "eject_supported")) disk.eject_supported = Bool(*v, path + ".eject_supported");
    if (auto* v = Member(d, "raw_handles")) disk.raw_handles = Count(*v, path + ".raw_handles");
}

void LoadSlot(const Json& s, const NewDevice& bridge, DEVINST id, const std::string& path,
              std::vector<PendingSlot>& slots)
{
    CheckKeys(s, path, {"card_bus", "inserted"});
    if (!bridge.bus_number || *bridge.bus_number > 255)
        Fail(path, "a slot's bridge function needs its \"bus\" (0 to 255)");
    PendingSlot slot;
    slot.bridge = id;
    slot.bus = static_cast<std::uint8_t>(*bridge.bus_number);
    if (auto* v = Member(s, "card_bus")) {
        const std::uint32_t bus = Number(*v, path + ".card_bus");
        if (bus > 255) Fail(path + ".card_bus", "a bus number is 0 to 255");
        slot.card_bus = static_cast<std::uint8_t>(bus);
    }
    if (auto* v = Member(s, "inserted")) slot.inserted = Bool(*v, path + ".inserted");
    slots.push_back(slot);
}

// Deeper than any PC's device tree; a deeper description is refused rather than
// walked until the stack runs out.
constexpr int kMaxTreeDepth = 64;

// A change kept for the next restart, by name.
const std::pair<Pending, const char*> kPendingNames[] = {
    {Pending::kDisable, "disable"}, {Pending::kStop, "stop"}};

Pending ParsePending(const std::string& text, const std::string& path)
{
    for (const auto& [pending, name] : kPendingNames)
        if (text == name) return pending;
    Fail(path, "unknown pending change \"" + text + "\" (disable, stop)");
}

void LoadDevice(Machine& m, DEVINST parent, const Json& d, const std::string& path, std::vector<PendingSlot>& slots,
                int depth = 1)
{
    if (depth > kMaxTreeDepth)
        Fail(path, "the device tree is deeper than " + std::to_string(kMaxTreeDepth) + " levels");
    CheckKeys(d, path,
              {"enumerator", "class", "hardware_ids", "compatible_ids", "upper_filters", "description",
               "friendly_name", "service", "bus", "present", "started", "problem", "veto", "pending", "disk",
               "slot", "query_removed", "no_restart", "keys_deleted", "children"});
    NewDevice dev;
    if (auto* v = Member(d, "enumerator")) dev.enumerator = String(*v, path + ".enumerator");
    if (auto* v = Member(d, "class")) dev.class_guid = ParseClass(String(*v, path + ".class"), path + ".class");
    if (auto* v = Member(d, "hardware_ids")) dev.hardware_ids = Strings(*v, path + ".hardware_ids");
    if (auto* v = Member(d, "compatible_ids")) dev.compatible_ids = Strings(*v, path + ".compatible_ids");
    if (auto* v = Member(d, "upper_filters")) dev.upper_filters = Strings(*v, path + ".upper_filters");
    if (auto* v = Member(d, "description")) dev.description = Widen(String(*v, path + ".description"));
    if (auto* v = Member(d, "friendly_name")) dev.friendly_name = Widen(String(*v, path + ".friendly_name"));
    if (auto* v = Member(d, "service")) dev.service = Widen(String(*v, path + ".service"));
    if (auto* v = Member(d, "bus")) dev.bus_number = Number(*v, path + ".bus");
    if (auto* v = Member(d, "present")) dev.present = Bool(*v, path + ".present");
    if (auto* v = Member(d, "started"))
        dev.status = Bool(*v, path + ".started") ? (DN_DRIVER_LOADED | DN_STARTED) : DN_DRIVER_LOADED;
    if (auto* v = Member(d, "problem")) dev.problem = Number(*v, path + ".problem");
    DEVINST id = m.tree.Add(parent, dev);
    if (auto* v = Member(d, "veto")) m.tree.node(id).veto = ParseVeto(String(*v, path + ".veto"), path + ".veto");
    if (auto* v = Member(d, "pending"))
        m.tree.node(id).pending = ParsePending(String(*v, path + ".pending"), path + ".pending");
    if (auto* v = Member(d, "query_removed")) m.tree.node(id).query_removed = Bool(*v, path + ".query_removed");
    if (auto* v = Member(d, "no_restart")) m.tree.node(id).no_restart = Bool(*v, path + ".no_restart");
    if (auto* v = Member(d, "keys_deleted")) m.tree.node(id).keys_deleted = Bool(*v, path + ".keys_deleted");
    if (auto* v = Member(d, "disk")) LoadDisk(m, id, *v, path + ".disk");
    if (auto* v = Member(d, "slot")) LoadSlot(*v, dev, id, path + ".slot", slots);
    if (auto* children = Member(d, "children")) {
        if (!children->is_array()) Fail(path + ".children", "expected a list of devices");
        for (std::size_t i = 0; i < children->size(); ++i)
            LoadDevice(m, id, (*children)[i], path + ".children[" + std::to_string(i) + "]", slots, depth + 1);
    }
}

UINT ParseDriveType(const Json& value, const std::string& path)
{
    const std::string text = String(value, path);
    if (text == "fixed") return DRIVE_FIXED;
    if (text == "removable") return DRIVE_REMOVABLE;
    if (text == "remote") return DRIVE_REMOTE;
    if (text == "cdrom") return DRIVE_CDROM;
    if (text == "ramdisk") return DRIVE_RAMDISK;
    Fail(path, "unknown drive type \"" + text + "\" (fixed, removable, remote, cdrom, ramdisk)");
}

const char* DriveTypeText(UINT type)
{
    switch (type) {
    case DRIVE_REMOVABLE: return "removable";
    case DRIVE_REMOTE: return "remote";
    case DRIVE_CDROM: return "cdrom";
    case DRIVE_RAMDISK: return "ramdisk";
    default: return "fixed";
    }
}

// A folder a volume is mounted in: a drive, folders, and the closing backslash
// ("C:\\Mnt\\Card\\").
bool MountFolder(const std::string& text)
{
    return text.size() >= 4 && ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z')) &&
           text[1] == ':' && text[2] == '\\' && text.back() == '\\' && text.find("\\\\") == std::string::npos;
}

void LoadVolumes(Machine& m, const Json& volumes)
{
    if (!volumes.is_array()) Fail("volumes", "expected a list of volumes");
    std::vector<std::u16string> mounts;
    for (std::size_t i = 0; i < volumes.size(); ++i) {
        const std::string path = "volumes[" + std::to_string(i) + "]";
        const Json& v = volumes[i];
        CheckKeys(v, path, {"letter", "mount", "disk", "partition", "type", "total_bytes", "free_bytes", "open_files"});
        const Json* letter = Member(v, "letter");
        const Json* mount = Member(v, "mount");
        const Json* disk = Member(v, "disk");
        if ((!letter && !mount) || !disk)
            Fail(path, "a volume needs its \"disk\" and a \"letter\", a \"mount\" folder or both");
        char drive = 0;
        if (letter) {
            const std::string text = String(*letter, path + ".letter");
            if (text.size() != 1 || text[0] < 'C' || text[0] > 'Z')
                Fail(path + ".letter", "a drive letter is one of C to Z");
            if (m.storage.volumes.count(text[0])) Fail(path + ".letter", "drive " + text + ": is described twice");
            drive = text[0];
        }
        std::u16string folder;
        if (mount) {
            const std::string text = String(*mount, path + ".mount");
            if (!MountFolder(text))
                Fail(path + ".mount", "a mount folder is a path such as C:\\Mnt\\Card\\ (a drive, its folders "
                                      "and the closing backslash)");
            folder = Widen(text);
            for (const auto& seen : mounts)
                if (EqualNoCase(seen, folder)) Fail(path + ".mount", "the folder " + text + " holds two volumes");
            mounts.push_back(folder);
        }
        const DWORD number = Number(*disk, path + ".disk");
        if (!m.storage.disks.count(number))
            Fail(path + ".disk", "no device describes disk " + std::to_string(number));
        UINT type = DRIVE_FIXED;
        if (auto* t = Member(v, "type")) type = ParseDriveType(*t, path + ".type");
        ULONGLONG total = 0;
        if (auto* t = Member(v, "total_bytes")) total = Number64(*t, path + ".total_bytes");
        Volume& volume = drive ? AddVolume(m, drive, number, total, type) : AddMountedVolume(m, folder, number, total);
        volume.mount = folder;
        volume.drive_type = type;
        if (auto* t = Member(v, "partition")) volume.partition = Number(*t, path + ".partition");
        if (auto* t = Member(v, "free_bytes")) volume.free_bytes = Number64(*t, path + ".free_bytes");
        if (auto* t = Member(v, "open_files")) volume.open_files = Count(*t, path + ".open_files");
    }
}

// What earlier surprise removals cut, as a dump keeps it.
void LoadSurpriseRemovals(Machine& m, const Json& list)
{
    if (!list.is_array()) Fail("surprise_removals", "expected a list");
    for (std::size_t i = 0; i < list.size(); ++i) {
        const std::string path = "surprise_removals[" + std::to_string(i) + "]";
        const Json& r = list[i];
        CheckKeys(r, path, {"bus", "devices", "open_files", "raw_handles", "handles"});
        SurpriseRemoval cut;
        if (auto* v = Member(r, "bus")) {
            const std::uint32_t bus = Number(*v, path + ".bus");
            if (bus > 255) Fail(path + ".bus", "a bus number is 0 to 255");
            cut.bus = static_cast<std::uint8_t>(bus);
        }
        if (auto* v = Member(r, "devices")) cut.devices = Strings(*v, path + ".devices");
        if (auto* v = Member(r, "open_files")) {
            if (!v->is_array()) Fail(path + ".open_files", "expected a list");
            for (std::size_t j = 0; j < v->size(); ++j) {
                const std::string at = path + ".open_files[" + std::to_string(j) + "]";
                CheckKeys((*v)[j], at, {"volume", "files"});
                const Json* volume = Member((*v)[j], "volume");
                const Json* files = Member((*v)[j], "files");
                if (!volume || !files) Fail(at, "needs its \"volume\" and its \"files\"");
                cut.open_files.push_back({Widen(String(*volume, at + ".volume")), Count(*files, at + ".files")});
            }
        }
        if (auto* v = Member(r, "raw_handles")) {
            if (!v->is_array()) Fail(path + ".raw_handles", "expected a list");
            for (std::size_t j = 0; j < v->size(); ++j) {
                const std::string at = path + ".raw_handles[" + std::to_string(j) + "]";
                CheckKeys((*v)[j], at, {"disk", "handles"});
                const Json* disk = Member((*v)[j], "disk");
                const Json* handles = Member((*v)[j], "handles");
                if (!disk || !handles) Fail(at, "needs its \"disk\" and its \"handles\"");
                cut.raw_handles.push_back({Number(*disk, at + ".disk"), Count(*handles, at + ".handles")});
            }
        }
        if (auto* v = Member(r, "handles")) cut.handles = static_cast<std::size_t>(Count(*v, path + ".handles"));
        m.surprise_removals.push_back(std::move(cut));
    }
}

void LoadRegistry(Machine& m, const Json& registry)
{
    if (!registry.is_object()) Fail("registry", "expected an object of keys");
    for (const auto& [key, values] : registry.items()) {
        const std::string path = "registry[\"" + key + "\"]";
        if (!values.is_object()) Fail(path, "expected an object of values");
        const std::u16string wide_key = Widen(key);
        const auto head = Lower(wide_key.substr(0, wide_key.find(u'\\')));
        if (head != u"hklm" && head != u"hkey_local_machine" && head != u"hkcu" && head != u"hkey_current_user")
            Fail(path, "a key path begins with HKLM or HKCU");
        m.registry.CreateKey(wide_key);
        for (const auto& [name, value] : values.items()) {
            const std::string vpath = path + "[\"" + name + "\"]";
            if (value.is_string())
                m.registry.SetString(wide_key, Widen(name), Widen(value.get<std::string>()));
            else if (value.is_array())
                m.registry.SetValue(wide_key, Widen(name), REG_MULTI_SZ, MultiSzBytes(Strings(value, vpath)));
            else
                m.registry.SetDword(wide_key, Widen(name), Number(value, vpath));
        }
    }
}

void LoadDumpDriver(Machine& m, const Json& d)
{
    CheckKeys(d, "dump_driver", {"installed", "fail_requests", "buses"});
    if (auto* v = Member(d, "installed")) m.dump.installed = Bool(*v, "dump_driver.installed");
    if (auto* v = Member(d, "fail_requests")) m.dump.fail_requests = Bool(*v, "dump_driver.fail_requests");
    if (auto* buses = Member(d, "buses")) {
        if (!buses->is_object()) Fail("dump_driver.buses", "expected an object of buses");
        for (const auto& [bus_text, registers] : buses->items()) {
            const std::string path = "dump_driver.buses[\"" + bus_text + "\"]";
            const std::uint32_t bus = Number(Json(bus_text), path);
            if (bus > 255) Fail(path, "a bus number is 0 to 255");
            CheckKeys(registers, path, {"registers", "writable"});
            if (auto* regs = Member(registers, "registers")) {
                if (!regs->is_object()) Fail(path + ".registers", "expected an object of registers");
                for (const auto& [reg_text, value] : regs->items()) {
                    const std::string rpath = path + ".registers[\"" + reg_text + "\"]";
                    const std::uint32_t reg = Number(Json(reg_text), rpath);
                    if (reg > 0xFC || reg % 4) Fail(rpath, "a register offset is a multiple of 4 from 0x00 to 0xFC");
                    m.dump.functions[static_cast<std::uint8_t>(bus)].registers[reg / 4] = Number(value, rpath);
                }
            }
            if (auto* masks = Member(registers, "writable")) {
                if (!masks->is_object()) Fail(path + ".writable", "expected an object of masks");
                for (const auto& [reg_text, value] : masks->items()) {
                    const std::string rpath = path + ".writable[\"" + reg_text + "\"]";
                    const std::uint32_t reg = Number(Json(reg_text), rpath);
                    if (reg > 0xFC || reg % 4) Fail(rpath, "a register offset is a multiple of 4 from 0x00 to 0xFC");
                    m.dump.functions[static_cast<std::uint8_t>(bus)].writable[reg / 4] = Number(value, rpath);
                }
            }
        }
    }
}

const char* VetoText(PNP_VETO_TYPE veto)
{
    switch (veto) {
    case PNP_VetoOutstandingOpen: return "OutstandingOpen";
    case PNP_VetoDevice: return "Device";
    case PNP_VetoDriver: return "Driver";
    case PNP_VetoWindowsApp: return "WindowsApp";
    case PNP_VetoWindowsService: return "WindowsService";
    default: return nullptr;
    }
}

std::string Hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string Hex2(std::uint32_t value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

OrderedJson DumpDevice(const Machine& m, DEVINST id)
{
    const DevNode& n = *m.tree.find(id);
    OrderedJson d;
    auto list = [&](const char* key, ULONG code) {
        if (auto l = m.tree.MultiSz(id, code)) {
            OrderedJson a = OrderedJson::array();
            for (const auto& s : *l) a.push_back(Narrow(s));
            d[key] = a;
        }
    };
    auto text = [&](const char* key, ULONG code) {
        if (const Property* p = m.tree.property(id, code)) {
            auto l = ParseMultiSz(p->data);
            d[key] = l.empty() ? std::string() : Narrow(l[0]);
        }
    };
    d["enumerator"] = n.enumerator;
    d["class"] = ClassText(n.class_guid);
    list("hardware_ids", CM_DRP_HARDWAREID);
    list("compatible_ids", CM_DRP_COMPATIBLEIDS);
    list("upper_filters", CM_DRP_UPPERFILTERS);
    text("description", CM_DRP_DEVICEDESC);
    text("friendly_name", CM_DRP_FRIENDLYNAME);
    text("service", CM_DRP_SERVICE);
    if (const Property* p = m.tree.property(id, CM_DRP_BUSNUMBER); p && p->data.size() == 4) {
        DWORD bus;
        std::memcpy(&bus, p->data.data(), 4);
        d["bus"] = bus;
    }
    d["present"] = n.present;
    if (n.query_removed) d["query_removed"] = true;
    if (n.no_restart) d["no_restart"] = true;
    if (n.keys_deleted) d["keys_deleted"] = true;
    d["started"] = (n.status & DN_STARTED) != 0;
    if (n.problem) d["problem"] = n.problem;
    if (auto v = VetoText(n.veto)) d["veto"] = v;
    for (const auto& [pending, name] : kPendingNames)
        if (n.pending == pending) d["pending"] = name;
    for (const auto& [number, disk] : m.storage.disks) {
        if (disk.node != id) continue;
        d["disk"] = OrderedJson{{"number", disk.number},
                                {"interface_path", Narrow(disk.interface_path)},
                                {"removable", disk.removable},
                                {"medium", disk.medium},
                                {"vendor_id", disk.vendor_id},
                                {"product_id", disk.product_id},
                                {"revision", disk.revision},
                                {"blocks", disk.blocks},
                                {"block_size", disk.block_size}};
        if (disk.fail_pass_through) d["disk"]["fail_pass_through"] = true;
        if (!disk.eject_supported) d["disk"]["eject_supported"] = false;
        if (disk.raw_handles) d["disk"]["raw_handles"] = disk.raw_handles;
    }
    for (const Slot& slot : m.slots)
        if (slot.bridge == id) d["slot"] = OrderedJson{{"card_bus", slot.card_bus}, {"inserted", slot.inserted}};
    if (!n.children.empty()) {
        OrderedJson children = OrderedJson::array();
        for (DEVINST c : n.children) children.push_back(DumpDevice(m, c));
        d["children"] = children;
    }
    return d;
}

void DumpKey(const RegKey& key, const std::string& path, OrderedJson& out)
{
    if (!key.values.empty() || key.subkeys.empty()) {
        OrderedJson values = OrderedJson::object();
        for (const auto& [lower, v] : key.values) {
            const std::string name = Narrow(v.name);
            if (v.type == REG_DWORD && v.data.size() == 4) {
                DWORD n;
                std::memcpy(&n, v.data.data(), 4);
                values[name] = n;
            } else if (v.type == REG_SZ || v.type == REG_EXPAND_SZ) {
                auto l = ParseMultiSz(v.data);
                values[name] = l.empty() ? std::string() : Narrow(l[0]);
            } else if (v.type == REG_MULTI_SZ) {
                OrderedJson a = OrderedJson::array();
                for (const auto& s : ParseMultiSz(v.data)) a.push_back(Narrow(s));
                values[name] = a;
            } else {
                std::string hex;
                for (auto b : v.data) hex += Hex2(b).substr(2);
                values[name] = OrderedJson{{"type", v.type}, {"hex", hex}};
            }
        }
        if (!path.empty()) out[path] = values;
    }
    for (const auto& [lower, sub] : key.subkeys) DumpKey(*sub, path + "\\" + Narrow(sub->name), out);
}

} // namespace

bool LoadMachine(Machine& machine, const std::string& text, std::string& error)
{
    Json doc;
    try {
        doc = Json::parse(text);
    } catch (const Json::parse_error& e) {
        // Line and column of the byte where parsing stopped.
        std::size_t line = 1, column = 1;
        const std::size_t end = std::min<std::size_t>(e.byte ? e.byte - 1 : 0, text.size());
        for (std::size_t i = 0; i < end; ++i) {
            if (text[i] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        const char* what = std::strstr(e.what(), "syntax error");
        error = "line " + std::to_string(line) + ", column " + std::to_string(column) + ": " +
                (what ? what : e.what());
        return false;
    } catch (const Json::exception& e) {
        // A number JSON can write but not hold, such as 1E400.
        const char* what = std::strchr(e.what(), ']');
        error = std::string("malformed JSON:") + (what ? what + 1 : e.what());
        return false;
    }
    try {
        CheckKeys(doc, "machine", {"devices", "volumes", "registry", "dump_driver", "surprise_removals"});
        std::vector<PendingSlot> slots;
        if (auto* devices = Member(doc, "devices")) {
            if (!devices->is_array()) Fail("devices", "expected a list of devices");
            for (std::size_t i = 0; i < devices->size(); ++i)
                LoadDevice(machine, machine.tree.root(), (*devices)[i], "devices[" + std::to_string(i) + "]", slots);
        }
        if (auto* volumes = Member(doc, "volumes")) LoadVolumes(machine, *volumes);
        if (auto* registry = Member(doc, "registry")) LoadRegistry(machine, *registry);
        if (auto* dump = Member(doc, "dump_driver")) LoadDumpDriver(machine, *dump);
        if (auto* cut = Member(doc, "surprise_removals")) LoadSurpriseRemovals(machine, *cut);
        // The card is the bridge's first child, as the slot's hardware puts it.
        for (const PendingSlot& p : slots) {
            Slot slot;
            slot.bus = p.bus;
            slot.bridge = p.bridge;
            const auto& children = machine.tree.node(p.bridge).children;
            slot.card = children.empty() ? 0 : children.front();
            slot.card_bus = p.card_bus;
            slot.inserted = p.inserted;
            AttachSlot(machine, slot);
        }
    } catch (const DescriptionError& e) {
        error = e.what();
        return false;
    } catch (const Json::exception& e) {
        error = std::string("machine: ") + e.what();
        return false;
    }
    return true;
}

std::string DumpMachine(const Machine& m)
{
    OrderedJson doc;
    OrderedJson devices = OrderedJson::array();
    for (DEVINST c : m.tree.find(m.tree.root())->children) devices.push_back(DumpDevice(m, c));
    doc["devices"] = devices;

    OrderedJson volumes = OrderedJson::array();
    m.storage.ForEachVolume([&](const Volume& v) {
        OrderedJson volume;
        if (v.letter) volume["letter"] = std::string(1, v.letter);
        if (!v.mount.empty()) volume["mount"] = Narrow(v.mount);
        volume["disk"] = v.disk;
        volume["partition"] = v.partition;
        volume["type"] = DriveTypeText(v.drive_type);
        volume["total_bytes"] = v.total_bytes;
        volume["free_bytes"] = v.free_bytes;
        if (v.open_files) volume["open_files"] = v.open_files;
        volumes.push_back(volume);
    });
    doc["volumes"] = volumes;

    OrderedJson registry = OrderedJson::object();
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        const char* name = root == HKEY_LOCAL_MACHINE ? "HKLM" : "HKCU";
        if (auto key = m.registry.Root(root))
            for (const auto& [lower, sub] : key->subkeys) DumpKey(*sub, std::string(name) + "\\" + Narrow(sub->name), registry);
    }
    doc["registry"] = registry;

    // A card that does not answer keeps its registers with its slot: they go with the
    // rest, and the slot takes them again when the dump is loaded.
    std::map<std::uint8_t, PciFunction> functions = m.dump.functions;
    for (const Slot& slot : m.slots)
        if (slot.parked) functions[slot.card_bus] = *slot.parked;
    OrderedJson buses = OrderedJson::object();
    for (const auto& [bus, function] : functions) {
        OrderedJson registers = OrderedJson::object();
        for (std::size_t i = 0; i < function.registers.size(); ++i)
            if (function.registers[i] != 0) registers[Hex2(static_cast<std::uint32_t>(i * 4))] = Hex(function.registers[i]);
        OrderedJson bus_json{{"registers", registers}};
        // Without its masks a reloaded register would refuse every write.
        OrderedJson writable = OrderedJson::object();
        for (std::size_t i = 0; i < function.writable.size(); ++i)
            if (function.writable[i] != 0) writable[Hex2(static_cast<std::uint32_t>(i * 4))] = Hex(function.writable[i]);
        if (!writable.empty()) bus_json["writable"] = writable;
        buses[std::to_string(bus)] = bus_json;
    }
    doc["dump_driver"] = OrderedJson{{"installed", m.dump.installed}, {"buses", buses}};

    if (!m.surprise_removals.empty()) {
        OrderedJson cuts = OrderedJson::array();
        for (const SurpriseRemoval& r : m.surprise_removals) {
            OrderedJson cut{{"bus", r.bus}};
            OrderedJson devices = OrderedJson::array();
            for (const auto& d : r.devices) devices.push_back(Narrow(d));
            cut["devices"] = devices;
            OrderedJson files = OrderedJson::array();
            for (const auto& f : r.open_files) files.push_back(OrderedJson{{"volume", Narrow(f.volume)}, {"files", f.files}});
            cut["open_files"] = files;
            OrderedJson raw = OrderedJson::array();
            for (const auto& h : r.raw_handles) raw.push_back(OrderedJson{{"disk", h.disk}, {"handles", h.handles}});
            cut["raw_handles"] = raw;
            cut["handles"] = r.handles;
            cuts.push_back(cut);
        }
        doc["surprise_removals"] = cuts;
    }
    return doc.dump(2) + "\n";
}

} // namespace sim
