// The machine's bookkeeping: handle tables, heap, faults, call log, and the plain data
// of its device tree, registry and configuration space.
#include "sim/machine.h"

#include "sim/processes.h"
#include "sim/files.h"
#include "sim/identity.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

// ---------------------------------------------------------------- text
std::u16string Widen(std::string_view utf8)
{
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        auto c = static_cast<unsigned char>(utf8[i]);
        std::uint32_t cp = c;
        std::size_t len = 1;
        if (c >= 0xF0 && i + 3 < utf8.size() + 0) {
            cp = (c & 0x07u) << 18 | (utf8[i + 1] & 0x3Fu) << 12 | (utf8[i + 2] & 0x3Fu) << 6 | (utf8[i + 3] & 0x3Fu);
            len = 4;
        } else if (c >= 0xE0 && i + 2 < utf8.size()) {
            cp = (c & 0x0Fu) << 12 | (utf8[i + 1] & 0x3Fu) << 6 | (utf8[i + 2] & 0x3Fu);
            len = 3;
        } else if (c >= 0xC0 && i + 1 < utf8.size()) {
            cp = (c & 0x1Fu) << 6 | (utf8[i + 1] & 0x3Fu);
            len = 2;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

std::string Narrow(std::u16string_view wide)
{
    std::string out;
    for (std::size_t i = 0; i < wide.size(); ++i) {
        std::uint32_t cp = wide[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < wide.size()) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (wide[i + 1] - 0xDC00u);
            ++i;
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

namespace {
// Windows-1252 in 0x80..0x9F; the rest of the code page is Latin-1.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t AnsiToWide(unsigned char c)
{
    return (c >= 0x80 && c < 0xA0) ? kCp1252High[c - 0x80] : static_cast<char16_t>(c);
}

char WideToAnsi(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c < 0x100)) return static_cast<char>(c);
    for (int i = 0; i < 32; ++i)
        if (kCp1252High[i] == c) return static_cast<char>(0x80 + i);
    return '?';
}
} // namespace

std::string ToAnsi(std::u16string_view wide)
{
    std::string out;
    out.reserve(wide.size());
    for (char16_t c : wide) out.push_back(WideToAnsi(c));
    return out;
}

std::u16string FromAnsi(std::string_view ansi)
{
    std::u16string out;
    out.reserve(ansi.size());
    for (char c : ansi) out.push_back(AnsiToWide(static_cast<unsigned char>(c)));
    return out;
}

std::u16string Lower(std::u16string_view text)
{
    std::u16string out(text);
    for (auto& c : out)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return out;
}

bool EqualNoCase(std::u16string_view a, std::u16string_view b) { return Lower(a) == Lower(b); }

Bytes MultiSzBytes(const WideList& entries)
{
    Bytes out;
    auto put = [&out](char16_t c) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    };
    for (const auto& entry : entries) {
        for (char16_t c : entry) put(c);
        put(0);
    }
    put(0);
    return out;
}

Bytes SzBytes(std::u16string_view text)
{
    Bytes out;
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

Bytes DwordBytes(DWORD value)
{
    Bytes out(4);
    std::memcpy(out.data(), &value, 4);
    return out;
}

WideList ParseMultiSz(const Bytes& data)
{
    WideList out;
    std::u16string current;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (c == 0) {
            if (current.empty()) break;
            out.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    if (!current.empty()) out.push_back(current);
    return out;
}

std::string GuidText(const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

const GUID kClassSystem = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kClassUsb = {0x36FC9E60, 0xC465, 0x11CF, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const GUID kClassPcmcia = {0x4D36E977, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kClassScsiAdapter = {0x4D36E97B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kClassDiskDrive = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const GUID kClassVolume = {0x71A27CDD, 0x812A, 0x11D0, {0xBE, 0xC7, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
const GUID kInterfaceDisk = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// ---------------------------------------------------------------- device tree
DeviceTree::DeviceTree()
{
    NewDevice root;
    root.enumerator = "HTREE";
    root.hardware_ids = {u"HTREE\\ROOT\\0"};
    root.description = u"Computer";
    root_ = Add(0, root);
}

DEVINST DeviceTree::Add(DEVINST parent, const NewDevice& dev)
{
    DevNode n;
    n.id = next_id_++;
    n.parent = parent;
    n.enumerator = dev.enumerator;
    n.class_guid = dev.class_guid;
    n.present = dev.present;
    n.status = dev.status;
    n.problem = dev.problem;
    n.held_after_eject = dev.held_after_eject;
    if (!dev.hardware_ids.empty()) n.properties[CM_DRP_HARDWAREID] = {REG_MULTI_SZ, MultiSzBytes(dev.hardware_ids)};
    if (!dev.compatible_ids.empty())
        n.properties[CM_DRP_COMPATIBLEIDS] = {REG_MULTI_SZ, MultiSzBytes(dev.compatible_ids)};
    if (!dev.upper_filters.empty())
        n.properties[CM_DRP_UPPERFILTERS] = {REG_MULTI_SZ, MultiSzBytes(dev.upper_filters)};
    if (!dev.description.empty()) n.properties[CM_DRP_DEVICEDESC] = {REG_SZ, SzBytes(dev.description)};
    if (!dev.friendly_name.empty()) n.properties[CM_DRP_FRIENDLYNAME] = {REG_SZ, SzBytes(dev.friendly_name)};
    if (!dev.service.empty()) n.properties[CM_DRP_SERVICE] = {REG_SZ, SzBytes(dev.service)};
    if (dev.bus_number) n.properties[CM_DRP_BUSNUMBER] = {REG_DWORD, DwordBytes(*dev.bus_number)};
    n.properties[CM_DRP_ENUMERATOR_NAME] = {REG_SZ, SzBytes(Widen(dev.enumerator))};
    n.properties[CM_DRP_CLASSGUID] = {REG_SZ, SzBytes(Widen(GuidText(dev.class_guid)))};

    DEVINST id = n.id;
    if (parent != 0) n.sibling_index = node(parent).children.size();
    nodes_.emplace(id, std::move(n));
    if (parent != 0) node(parent).children.push_back(id);
    order_.push_back(id);
    return id;
}

DevNode& DeviceTree::node(DEVINST id)
{
    auto* n = find(id);
    if (!n) {
        std::fprintf(stderr, "sim: no device node %u\n", id);
        std::abort();
    }
    return *n;
}

const DevNode* DeviceTree::find(DEVINST id) const
{
    auto it = nodes_.find(id);
    return it == nodes_.end() ? nullptr : &it->second;
}

DevNode* DeviceTree::find(DEVINST id)
{
    auto it = nodes_.find(id);
    return it == nodes_.end() ? nullptr : &it->second;
}

void DeviceTree::SetProperty(DEVINST id, ULONG cm_code, DWORD type, Bytes data)
{
    node(id).properties[cm_code] = {type, std::move(data)};
}

void DeviceTree::SetMultiSz(DEVINST id, ULONG cm_code, const WideList& entries)
{
    SetProperty(id, cm_code, REG_MULTI_SZ, MultiSzBytes(entries));
}

void DeviceTree::DeleteProperty(DEVINST id, ULONG cm_code) { node(id).properties.erase(cm_code); }

const Property* DeviceTree::property(DEVINST id, ULONG cm_code) const
{
    const DevNode* n = find(id);
    if (!n) return nullptr;
    auto it = n->properties.find(cm_code);
    return it == n->properties.end() ? nullptr : &it->second;
}

std::optional<WideList> DeviceTree::MultiSz(DEVINST id, ULONG cm_code) const
{
    const Property* p = property(id, cm_code);
    if (!p) return std::nullopt;
    return ParseMultiSz(p->data);
}

void DeviceTree::RemoveSubtree(DEVINST id)
{
    DevNode& n = node(id);
    n.present = false;
    n.status = 0;
    for (DEVINST child : n.children) RemoveSubtree(child);
}

std::optional<DEVINST> DeviceTree::FirstPresentChild(DEVINST id) const
{
    const DevNode* n = find(id);
    if (!n) return std::nullopt;
    for (DEVINST c : n->children)
        if (find(c)->present) return c;
    return std::nullopt;
}

std::optional<DEVINST> DeviceTree::NextPresentSibling(DEVINST id) const
{
    const DevNode* n = find(id);
    if (!n || n->parent == 0) return std::nullopt;
    // From the node's own place on, so that a walk over many siblings stays linear; a
    // machine whose children were rearranged by hand is searched instead.
    const auto& siblings = find(n->parent)->children;
    std::size_t at = n->sibling_index;
    if (at >= siblings.size() || siblings[at] != id)
        at = static_cast<std::size_t>(std::find(siblings.begin(), siblings.end(), id) - siblings.begin());
    for (std::size_t i = at + 1; i < siblings.size(); ++i)
        if (find(siblings[i])->present) return siblings[i];
    return std::nullopt;
}

// ---------------------------------------------------------------- registry data
namespace {
std::uintptr_t RootId(HKEY key) { return reinterpret_cast<std::uintptr_t>(key); }

std::vector<std::u16string_view> SplitPath(std::u16string_view path)
{
    std::vector<std::u16string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        if (i == path.size() || path[i] == u'\\') {
            if (i > start) parts.push_back(path.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}
} // namespace

Registry::Registry()
{
    for (HKEY root : {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS}) {
        auto key = std::make_shared<RegKey>();
        roots_[RootId(root)] = key;
    }
}

std::shared_ptr<RegKey> Registry::Root(HKEY predefined) const
{
    auto it = roots_.find(RootId(predefined));
    return it == roots_.end() ? nullptr : it->second;
}

std::shared_ptr<RegKey> Registry::Walk(std::shared_ptr<RegKey> from, std::u16string_view subkey, bool create)
{
    for (auto part : SplitPath(subkey)) {
        if (!from) return nullptr;
        auto lower = Lower(part);
        auto it = from->subkeys.find(lower);
        if (it == from->subkeys.end()) {
            if (!create) return nullptr;
            auto key = std::make_shared<RegKey>();
            key->name = std::u16string(part);
            it = from->subkeys.emplace(lower, key).first;
        }
        from = it->second;
    }
    return from;
}

namespace {
std::shared_ptr<RegKey> CopyKey(const RegKey& key)
{
    auto copy = std::make_shared<RegKey>(key);
    for (auto& [lower, sub] : copy->subkeys) sub = CopyKey(*sub);
    return copy;
}
} // namespace

Registry Registry::DeepCopy() const
{
    Registry copy;
    for (auto& [id, root] : copy.roots_) root = CopyKey(*roots_.at(id));
    return copy;
}

namespace {
// Splits "HKLM\\SYSTEM\\..." into the predefined root and the rest.
std::pair<HKEY, std::u16string_view> SplitRoot(std::u16string_view path)
{
    auto slash = path.find(u'\\');
    auto head = Lower(path.substr(0, slash));
    auto rest = slash == std::u16string_view::npos ? std::u16string_view{} : path.substr(slash + 1);
    if (head == u"hklm" || head == u"hkey_local_machine") return {HKEY_LOCAL_MACHINE, rest};
    if (head == u"hkcu" || head == u"hkey_current_user") return {HKEY_CURRENT_USER, rest};
    if (head == u"hkcr" || head == u"hkey_classes_root") return {HKEY_CLASSES_ROOT, rest};
    if (head == u"hku" || head == u"hkey_users") return {HKEY_USERS, rest};
    std::fprintf(stderr, "sim: registry path without a root: %s\n", Narrow(path).c_str());
    std::abort();
}
} // namespace

std::shared_ptr<RegKey> Registry::CreateKey(std::u16string_view path)
{
    auto [root, rest] = SplitRoot(path);
    return Walk(Root(root), rest, true);
}

std::shared_ptr<RegKey> Registry::Key(std::u16string_view path) const
{
    auto [root, rest] = SplitRoot(path);
    return Walk(Root(root), rest, false);
}

void Registry::DeleteKey(std::u16string_view path)
{
    auto slash = path.rfind(u'\\');
    auto parent = Key(path.substr(0, slash));
    if (!parent) return;
    auto it = parent->subkeys.find(Lower(path.substr(slash + 1)));
    if (it == parent->subkeys.end()) return;
    it->second->deleted = true;
    parent->subkeys.erase(it);
}

void Registry::SetValue(std::u16string_view path, std::u16string_view name, DWORD type, Bytes data)
{
    auto key = CreateKey(path);
    key->values[Lower(name)] = RegValue{std::u16string(name), type, std::move(data)};
}

void Registry::SetDword(std::u16string_view path, std::u16string_view name, DWORD value)
{
    SetValue(path, name, REG_DWORD, DwordBytes(value));
}

void Registry::SetString(std::u16string_view path, std::u16string_view name, std::u16string_view value)
{
    SetValue(path, name, REG_SZ, SzBytes(value));
}

const RegValue* Registry::Value(std::u16string_view path, std::u16string_view name) const
{
    auto key = Key(path);
    if (!key) return nullptr;
    auto it = key->values.find(Lower(name));
    return it == key->values.end() ? nullptr : &it->second;
}

std::optional<DWORD> Registry::Dword(std::u16string_view path, std::u16string_view name) const
{
    const RegValue* v = Value(path, name);
    if (!v || v->type != REG_DWORD || v->data.size() != 4) return std::nullopt;
    DWORD out;
    std::memcpy(&out, v->data.data(), 4);
    return out;
}

// ---------------------------------------------------------------- configuration space
std::uint32_t DumpDriver::Read(std::uint8_t bus, std::uint8_t reg) const
{
    auto it = functions.find(bus);
    if (it == functions.end()) return 0xFFFFFFFFu;
    // A dword read at an unaligned offset returns the aligned dword, as config
    // cycles address dwords.
    return it->second.registers[reg / 4];
}

void DumpDriver::Write(std::uint8_t bus, std::uint8_t reg, std::uint32_t value)
{
    auto it = functions.find(bus);
    if (it == functions.end()) return;
    auto& r = it->second.registers[reg / 4];
    std::uint32_t mask = it->second.writable[reg / 4];
    std::uint32_t before = r;
    r = (r & ~mask) | (value & mask);
    if (on_write && r != before) on_write(bus, reg, before, r);
}

void DumpDriver::Set(std::uint8_t bus, std::uint8_t reg, std::uint32_t value, std::uint32_t writable_mask)
{
    auto& f = functions[bus];
    f.registers[reg / 4] = value;
    f.writable[reg / 4] = writable_mask;
}

// ---------------------------------------------------------------- machine
BOOL KernelObject::Ioctl(DWORD, const void*, DWORD, void*, DWORD, DWORD*)
{
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

BOOL KernelObject::Read(Machine&, std::unique_lock<std::recursive_mutex>&, void*, DWORD, DWORD*, LPOVERLAPPED)
{
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

BOOL KernelObject::Write(Machine&, std::unique_lock<std::recursive_mutex>&, const void*, DWORD, DWORD*, LPOVERLAPPED)
{
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

BOOL KernelObject::Flush(Machine&, std::unique_lock<std::recursive_mutex>&)
{
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

DWORD KernelObject::SetPointer(LONG, LONG*, DWORD)
{
    SetLastError(ERROR_INVALID_FUNCTION);
    return INVALID_SET_FILE_POINTER;
}

Machine::Machine() : processes_(std::make_unique<Processes>()), files_(std::make_unique<Files>()) {}

Machine::~Machine()
{
    // Threads the machine started end before the machine does.
    processes_->JoinThreads();
    for (auto& [block, size] : heap_) std::free(block);
}

void Machine::ArmFault(Fault fault)
{
    std::lock_guard lock(mutex);
    faults_.push_back({std::move(fault), 0, false});
}

void Machine::Hold(std::string function)
{
    std::lock_guard lock(mutex);
    held_.insert(std::move(function));
}

void Machine::Release(const std::string& function)
{
    std::lock_guard lock(mutex);
    held_.erase(function);
    Notify();
}

void Machine::ClearFaults()
{
    std::lock_guard lock(mutex);
    faults_.clear();
}

std::vector<CallRecord> Machine::calls() const
{
    std::lock_guard lock(const_cast<std::recursive_mutex&>(mutex));
    return calls_;
}

std::size_t Machine::CallCount(std::string_view function) const
{
    std::lock_guard lock(const_cast<std::recursive_mutex&>(mutex));
    std::size_t n = 0;
    for (const auto& c : calls_)
        if (c.function == function) ++n;
    return n;
}

std::size_t Machine::TotalCalls() const { return total_calls_; }

void Machine::ClearCalls()
{
    std::lock_guard lock(mutex);
    calls_.clear();
    total_calls_ = 0;
}

std::optional<Machine::FaultHit> Machine::Enter(const char* function, std::initializer_list<std::uint64_t> args,
                                                std::string text)
{
    ++total_calls_;
    std::optional<FaultHit> hit;
    const std::thread::id caller = std::this_thread::get_id();
    for (auto& f : faults_) {
        if (f.spent || (!f.fault.function.empty() && f.fault.function != function)) continue;
        if (f.fault.thread != std::thread::id{} && (f.fault.thread == caller) == f.fault.other_threads) continue;
        if (f.fault.argument && (f.fault.argument->first >= args.size() ||
                                 args.begin()[f.fault.argument->first] != f.fault.argument->second))
            continue;
        ++f.seen;
        if (f.seen == f.fault.nth || (f.fault.persistent && f.seen > f.fault.nth)) {
            if (!hit) hit = FaultHit{f.fault.error, f.fault.cr};
            if (!f.fault.persistent) f.spent = true;
        }
    }
    if (logging_)
        calls_.push_back({function, std::vector<std::uint64_t>(args), std::move(text), hit.has_value(), caller, Now()});
    return hit;
}

HANDLE Machine::AddHandle(std::shared_ptr<KernelObject> object)
{
    HANDLE h = reinterpret_cast<HANDLE>(next_handle_);
    next_handle_ += 4;
    handles_[h] = std::move(object);
    return h;
}

std::shared_ptr<KernelObject> Machine::Object(HANDLE handle) const
{
    auto it = handles_.find(handle);
    if (it != handles_.end()) return it->second;
    auto& machine = const_cast<Machine&>(*this);
    auto hardened = processes_->hardening.find(CallerProcessId(machine));
    if (hardened != processes_->hardening.end() && hardened->second.StrictHandleChecks()) ++strict_handle_faults_;
    return nullptr;
}

bool Machine::CloseObject(HANDLE handle)
{
    auto it = handles_.find(handle);
    if (it == handles_.end()) {
        ++bad_releases_;
        return false;
    }
    auto object = std::move(it->second);
    handles_.erase(it);
    object->Closed();
    Notify();
    return true;
}

HDEVINFO Machine::AddSet(DeviceSet set)
{
    HDEVINFO h = reinterpret_cast<HDEVINFO>(next_set_);
    next_set_ += 8;
    sets_[h] = std::move(set);
    return h;
}

Machine::DeviceSet* Machine::Set(HDEVINFO handle)
{
    auto it = sets_.find(handle);
    return it == sets_.end() ? nullptr : &it->second;
}

bool Machine::DestroySet(HDEVINFO handle)
{
    if (sets_.erase(handle) == 0) {
        ++bad_releases_;
        return false;
    }
    return true;
}

HKEY Machine::AddKey(OpenKey key)
{
    HKEY h = reinterpret_cast<HKEY>(next_key_);
    next_key_ += 8;
    keys_[h] = std::move(key);
    return h;
}

Machine::OpenKey* Machine::Key(HKEY handle)
{
    auto it = keys_.find(handle);
    return it == keys_.end() ? nullptr : &it->second;
}

bool Machine::CloseKey(HKEY handle)
{
    if (keys_.erase(handle) == 0) {
        ++bad_releases_;
        return false;
    }
    return true;
}

void* Machine::Allocate(std::size_t bytes, bool zero)
{
    void* block = zero ? std::calloc(bytes ? bytes : 1, 1) : std::malloc(bytes ? bytes : 1);
    if (block) heap_[block] = bytes;
    return block;
}

bool Machine::Free(void* block)
{
    auto it = heap_.find(block);
    if (it == heap_.end()) {
        ++bad_releases_;
        return false;
    }
    heap_.erase(it);
    std::free(block);
    return true;
}

// ---------------------------------------------------------------- virtual time
void Machine::SetVirtualTime(bool on)
{
    std::lock_guard lock(mutex);
    if (on == virtual_time_) return;
    const auto now = Now();
    virtual_time_ = on;
    if (on) {
        stopped_at_ = now;
        clock_stopped_ = true;
    } else {
        // The host's clock again, from where the machine's stood.
        skipped_ = now - std::chrono::steady_clock::now();
        clock_stopped_ = false;
    }
    Notify();
}

void Machine::ExpectThread()
{
    std::lock_guard lock(mutex);
    ++expected_threads_;
    ++running_;
}

void Machine::Join(bool driver, bool expected)
{
    std::lock_guard lock(mutex);
    Part& part = parts_[std::this_thread::get_id()];
    if (part.depth++ == 0) {
        part.driver = driver;
        if (expected && expected_threads_ > 0)
            --expected_threads_;  // counted as running since its creator expected it
        else
            ++running_;
    } else if (expected && expected_threads_ > 0) {
        --expected_threads_;
        --running_;
    }
}

void Machine::Leave()
{
    std::lock_guard lock(mutex);
    auto it = parts_.find(std::this_thread::get_id());
    if (it == parts_.end() || --it->second.depth > 0) return;
    if (!it->second.waiting) --running_;
    parts_.erase(it);
    MaybeAdvance();
}

Machine::Wait::Wait(Machine& machine, std::optional<TimePoint> due) : machine_(machine), id_(machine.next_waiter_++)
{
    Waiter w;
    w.thread = std::this_thread::get_id();
    w.due = due;
    w.looked = machine.generation_;
    auto part = machine.parts_.find(w.thread);
    if (part != machine.parts_.end()) {
        w.takes_part = true;
        w.driver = part->second.driver;
        part->second.waiting = true;
        --machine.running_;
    }
    machine.waiters_.emplace(id_, w);
    machine.MaybeAdvance();
}

Machine::Wait::~Wait()
{
    auto it = machine_.waiters_.find(id_);
    const Waiter w = it->second;
    machine_.waiters_.erase(it);
    if (w.released) machine_.release_pending_ = false;
    if (w.takes_part) {
        auto part = machine_.parts_.find(w.thread);
        if (part != machine_.parts_.end()) part->second.waiting = false;
        if (!w.released) ++machine_.running_;  // a released waiter was counted as it was let go
    }
    // The clock may move on for the others when this waiter took no part.
    machine_.MaybeAdvance();
}

void Machine::Wait::Again(std::optional<TimePoint> due)
{
    Waiter& w = machine_.waiters_.at(id_);
    if (w.released) {
        // Let go, it found nothing ready after all: it waits again.
        w.released = false;
        machine_.release_pending_ = false;
        if (w.takes_part) --machine_.running_;
    }
    w.due = due;
    w.looked = machine_.generation_;
    machine_.MaybeAdvance();
}

bool Machine::Wait::MustLook() const
{
    const Waiter& w = machine_.waiters_.at(id_);
    return w.released || w.looked != machine_.generation_;
}

bool Machine::Wait::AwaitsTurn() const
{
    const Waiter& w = machine_.waiters_.at(id_);
    return !w.released && w.due && *w.due <= machine_.Now();
}

std::optional<Machine::Wait::TimePoint> Machine::Wait::due() const { return machine_.waiters_.at(id_).due; }

void Machine::MaybeAdvance()
{
    if (!virtual_time_ || running_ > 0 || release_pending_) return;
    Waiter* next = nullptr;
    for (auto& [id, w] : waiters_) {
        if (w.looked != generation_) return;  // a change not yet looked at may end a wait
        if (!w.due) continue;
        // The earliest; at the same moment the machine's own threads first, then by arrival.
        if (!next || *w.due < *next->due || (*w.due == *next->due && next->driver && !w.driver)) next = &w;
    }
    if (!next) return;
    if (*next->due > stopped_at_) stopped_at_ = *next->due;
    next->released = true;
    release_pending_ = true;
    if (next->takes_part) ++running_;
    Notify();
}

Accounting Machine::Outstanding() const
{
    std::lock_guard lock(const_cast<std::recursive_mutex&>(mutex));
    return {handles_.size(), sets_.size(), keys_.size(), heap_.size(), bad_releases_, strict_handle_faults_};
}

std::string Describe(const Accounting& a)
{
    char text[200];
    std::snprintf(text, sizeof text,
                  "%zu handles, %zu device sets, %zu keys, %zu heap blocks, %zu bad releases, "
                  "%zu handles used under strict checks that were not held",
                  a.handles, a.sets, a.keys, a.heap_blocks, a.bad_releases, a.strict_handle_faults);
    return text;
}

namespace {
std::atomic<Machine*> g_active{nullptr};
thread_local Machine* t_own = nullptr;  // the machine that started this thread
}

ActiveMachine::ActiveMachine(Machine& machine) : previous_(g_active.exchange(&machine)) {}
ActiveMachine::~ActiveMachine() { g_active.store(previous_); }

void BindThreadToMachine(Machine& machine) { t_own = &machine; }

Machine& Current()
{
    Machine* m = t_own ? t_own : g_active.load();
    if (!m) {
        std::fprintf(stderr, "sim: a Win32 call was made with no active machine\n");
        std::abort();
    }
    return *m;
}

} // namespace sim
