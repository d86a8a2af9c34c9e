// Machine snapshots: a copy of every part of a machine, put back in place of building
// the machine anew. A member added to Machine, Processes or Files belongs here too.
#include "sim/files.h"
#include "sim/machine.h"
#include "sim/named_pipe.h"
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
    std::vector<SurpriseRemoval> surprise_removals;
    std::vector<DEVINST> reenumerations;
    std::optional<SYSTEMTIME> local_time;
    std::string language;
    std::vector<std::string> system_boxes;
    bool wow64 = false;
    double timer_tick_ms = 0;
    bool no_byte_range_locks = false;
    std::map<std::u16string, bool> privileges;
    User user;
    DWORD process_id = 0;
    DWORD service_process_id = 0;
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
    std::map<std::u16string, NamedPipe> pipes;
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

template <typename M, typename S, typename Copy>
void Machine::EachPlainPart(M& m, S& s, Copy copy)
{
    copy(m.dump, s.dump);
    copy(m.storage, s.storage);
    copy(m.slots, s.slots);
    copy(m.property_changes, s.property_changes);
    copy(m.surprise_removals, s.surprise_removals);
    copy(m.reenumerations, s.reenumerations);
    copy(m.local_time, s.local_time);
    copy(m.language, s.language);
    copy(m.system_boxes, s.system_boxes);
    copy(m.wow64, s.wow64);
    copy(m.timer_tick_ms, s.timer_tick_ms);
    copy(m.no_byte_range_locks, s.no_byte_range_locks);
    copy(m.privileges, s.privileges);
    copy(m.user, s.user);
    copy(m.process_id, s.process_id);
    copy(m.service_process_id, s.service_process_id);
    copy(m.event_log, s.event_log);
    copy(m.interleave_calls, s.interleave_calls);
    copy(m.virtual_time_, s.virtual_time);
    copy(m.skipped_, s.skipped);
    copy(m.stopped_at_, s.stopped_at);
    copy(m.clock_stopped_, s.clock_stopped);
    copy(m.held_, s.held);
    copy(m.logging_, s.logging);
    copy(m.calls_, s.calls);
    copy(m.total_calls_, s.total_calls);
    copy(m.faults_, s.faults);
    copy(m.next_handle_, s.next_handle);
    copy(m.next_set_, s.next_set);
    copy(m.next_key_, s.next_key);
    copy(m.bad_releases_, s.bad_releases);
}

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
    EachPlainPart(*this, *s, [](const auto& part, auto& saved) { saved = part; });

    const Processes& p = *processes_;
    s->named_events = p.named_events;
    for (const auto& [name, pipe] : p.pipes) s->pipes.emplace(name, AsNamedPipe(*pipe));
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
    EachPlainPart(*this, s, [](auto& part, const auto& saved) { part = saved; });

    Processes& p = *processes_;
    p.named_events = s.named_events;
    p.pipes.clear();
    for (const auto& [name, pipe] : s.pipes) p.pipes.emplace(name, std::make_shared<NamedPipe>(pipe));
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
    Notify();
}

} // namespace sim
