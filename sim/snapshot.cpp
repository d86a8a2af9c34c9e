// Machine snapshots: a copy of every part of a machine, put back in place of building
// the machine anew. A member added to Machine, Processes or Files belongs here too.
#include "sim/files.h"
#include "sim/machine.h"
#include "sim/processes.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

struct Machine::SavedState {
    const Machine* machine = nullptr;
    // The machine's public parts
    DeviceTree tree;
    Registry registry;
    DumpDriver dump;
    Storage storage;
    std::vector<Slot> slots;
    std::vector<PropertyChange> property_changes;
    std::vector<DEVINST> reenumerations;
    std::optional<SYSTEMTIME> local_time;
    std::string language;
    std::vector<std::string> system_boxes;
    bool wow64 = false;
    double timer_tick_ms = 0;
    bool no_byte_range_locks = false;
    std::map<std::u16string, bool> privileges;
    std::vector<std::string> event_log;
    bool interleave_calls = false;
    bool virtual_time = false;
    std::chrono::steady_clock::duration skipped{};
    std::chrono::steady_clock::time_point stopped_at{};
    bool clock_stopped = false;
    // Its instruments and counters
    std::set<std::string> held;
    bool logging = true;
    std::vector<CallRecord> calls;
    std::uint64_t total_calls = 0;
    std::vector<ArmedFault> faults;
    std::uintptr_t next_handle = 0;
    std::uintptr_t next_set = 0;
    std::uintptr_t next_key = 0;
    std::size_t bad_releases = 0;
    // Its second floor and its files
    std::map<std::u16string, std::weak_ptr<EventObject>> named_events;  // none alive: no handle is open
    std::map<std::u16string, PipeInstance> pipes;
    ServiceController service;
    std::vector<ProcessLaunch> launches;
    std::vector<std::pair<ProcessState, ThreadState>> launched;  // what each launch's pointers held
    bool programs_keep_running = false;
    Files::Saved files;
};

namespace {

[[noreturn]] void Refuse(const char* why)
{
    std::fprintf(stderr, "sim: %s\n", why);
    std::abort();
}

} // namespace

std::shared_ptr<const Machine::SavedState> Machine::Snapshot() const
{
    std::lock_guard lock(const_cast<std::recursive_mutex&>(mutex));
    // Open handles, sets, keys and heap blocks belong to a caller that a restored
    // machine would not have, and a thread would go on changing what is being copied.
    if (!handles_.empty() || !sets_.empty() || !keys_.empty() || !heap_.empty())
        Refuse("a snapshot of a machine with something held open");
    if (!processes_->threads.empty()) Refuse("a snapshot of a machine with threads not joined");

    auto s = std::make_shared<SavedState>();
    s->machine = this;
    s->tree = tree;
    s->registry = registry.DeepCopy();
    s->dump = dump;
    s->storage = storage;
    s->slots = slots;
    s->property_changes = property_changes;
    s->reenumerations = reenumerations;
    s->local_time = local_time;
    s->language = language;
    s->system_boxes = system_boxes;
    s->wow64 = wow64;
    s->timer_tick_ms = timer_tick_ms;
    s->no_byte_range_locks = no_byte_range_locks;
    s->privileges = privileges;
    s->event_log = event_log;
    s->interleave_calls = interleave_calls.load();
    s->virtual_time = virtual_time;
    s->skipped = skipped_;
    s->stopped_at = stopped_at_;
    s->clock_stopped = clock_stopped_.load();

    s->held = held_;
    s->logging = logging_;
    s->calls = calls_;
    s->total_calls = total_calls_;
    s->faults = faults_;
    s->next_handle = next_handle_;
    s->next_set = next_set_;
    s->next_key = next_key_;
    s->bad_releases = bad_releases_;

    const Processes& p = *processes_;
    s->named_events = p.named_events;
    for (const auto& [name, pipe] : p.pipes) s->pipes.emplace(name, *pipe);
    s->service = p.service;
    s->launches = p.launches;
    for (const auto& launch : p.launches)
        s->launched.emplace_back(launch.process ? *launch.process : ProcessState{},
                                 launch.primary_thread ? *launch.primary_thread : ThreadState{});
    s->programs_keep_running = p.programs_keep_running;
    s->files = files_->Save();
    return s;
}

void Machine::Restore(const SavedState& s)
{
    if (s.machine != this) Refuse("a snapshot restored into another machine");
    processes_->JoinThreads();
    std::lock_guard lock(mutex);
    // What the input left open goes; its objects close their host files as they go.
    handles_.clear();
    sets_.clear();
    keys_.clear();
    for (auto& [block, size] : heap_) std::free(block);
    heap_.clear();

    // The device tree is the largest part and most requests only read it.
    if (!(tree == s.tree)) tree = s.tree;
    registry = s.registry.DeepCopy();
    dump = s.dump;
    storage = s.storage;
    slots = s.slots;
    property_changes = s.property_changes;
    reenumerations = s.reenumerations;
    local_time = s.local_time;
    language = s.language;
    system_boxes = s.system_boxes;
    wow64 = s.wow64;
    timer_tick_ms = s.timer_tick_ms;
    no_byte_range_locks = s.no_byte_range_locks;
    privileges = s.privileges;
    event_log = s.event_log;
    interleave_calls = s.interleave_calls;
    virtual_time = s.virtual_time;
    skipped_ = s.skipped;
    stopped_at_ = s.stopped_at;
    clock_stopped_ = s.clock_stopped;

    held_ = s.held;
    logging_ = s.logging;
    calls_ = s.calls;
    total_calls_ = s.total_calls;
    faults_ = s.faults;
    next_handle_ = s.next_handle;
    next_set_ = s.next_set;
    next_key_ = s.next_key;
    bad_releases_ = s.bad_releases;

    Processes& p = *processes_;
    p.named_events = s.named_events;
    p.pipes.clear();
    for (const auto& [name, pipe] : s.pipes) p.pipes.emplace(name, std::make_shared<PipeInstance>(pipe));
    p.service = s.service;
    p.launches = s.launches;
    for (std::size_t i = 0; i < p.launches.size(); ++i) {
        // Each launch gets state of its own, as the saved one had.
        ProcessLaunch& launch = p.launches[i];
        if (launch.process) launch.process = std::make_shared<ProcessState>(s.launched[i].first);
        if (launch.primary_thread) launch.primary_thread = std::make_shared<ThreadState>(s.launched[i].second);
    }
    p.programs_keep_running = s.programs_keep_running;
    files_->Restore(s.files);
    changed.notify_all();
}

} // namespace sim
