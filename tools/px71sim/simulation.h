// px71sim's parts: a simulated machine with PX71Service running in it, the
// walk-through of what the system is for, and client sessions read from a script.
#pragma once

#include "service/pipe_request.h"
#include "sim/machine.h"
#include "sim/processes.h"

#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace px71sim {

// The service's executable on the simulated machine; PX71.LOG lies beside it.
inline constexpr char16_t kServicePath[] = u"C:\\Program Files\\PX71\\PX71Service.exe";
inline constexpr char16_t kLogPath[] = u"C:\\Program Files\\PX71\\PX71.LOG";

// A machine made active for the lifetime of this object, with PX71Service started in
// it by Start and stopped by Stop or the destructor.
class Simulation {
public:
    Simulation();
    ~Simulation();
    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

    sim::Machine machine;

    // The service main runs on its own thread as the service control manager starts
    // it. False (with a message) when it does not report SERVICE_RUNNING in time.
    bool Start(std::string& error);
    // Sends a stop control and waits for the service thread. Safe to call twice.
    void Stop();

    // One request through the pipe, as a client sends it. False with a message when
    // the exchange did not complete.
    bool Send(const PipeRequest& request, PipeRequest& reply, std::string& error);

private:
    sim::ActiveMachine active_{machine};
    // The session's thread drives the machine on its virtual time: the machine's clock
    // moves only while this thread waits, so a session gives the same output every time.
    std::optional<sim::TakePart> driver_;
    std::thread service_;
    bool running_ = false;
};

// The walk-through, one step per method. Each prints what a person would want to read
// and leaves the machine in the state the next step starts from. A step returns false
// only when the pipe itself failed; what the library answers is reported, not judged.
class WalkThrough {
public:
    WalkThrough(Simulation& simulation, std::ostream& out) : sim_(simulation), out_(out) {}

    bool CheckDevice();
    bool InstallFilters();
    bool StoreSettings();
    bool ShowSlots();
    bool NameCards();
    bool EjectSdMedium();
    bool SwitchLink();
    bool RestartBridge();
    bool WriteReport();

    bool RunAll();

    // The window settings the walk-through stores (command 3).
    static PipeRequest SettingsRequest();
    static constexpr char kReportTitle[] = "PX71 walk-through on the simulated machine";

private:
    struct Named {
        unsigned command = 0;  // the name command (10 to 13)
        unsigned controller = 0;
        unsigned card = 0;
        int result = 0;
        std::string name;
    };
    bool Request(PipeRequest request, PipeRequest& reply);
    bool NameAll(unsigned command, std::vector<Named>& names);
    void PrintNames(const std::vector<Named>& names);
    std::vector<std::uint8_t> SlotBuses();
    std::string SlotCard(std::uint8_t bus);

    Simulation& sim_;
    std::ostream& out_;
};

// A client session of the user's own: one request per line (see docs/machine-format.md
// and px71sim --help for the line format).
struct ScriptRequest {
    int line = 0;
    std::string text;  // the line as written, for the output
    PipeRequest request{};
    // What the line does: a request, or one of the lines that act on the machine itself:
    // `restart` (the service stops, the machine restarts, sim/pnp.h, and the service
    // starts again), `insert BUS` and `pull BUS` (a card put into or pulled out of the
    // slot on BUS), `wait MS` (MS milliseconds of the machine's time pass while the
    // service runs).
    enum class Step { kRequest, kRestart, kInsert, kPull, kWait } step = Step::kRequest;
    std::uint32_t number = 0;  // the bus, or the milliseconds
};

// Parses a whole script before anything runs. False with "LINE:COLUMN: message".
bool ParseScript(const std::string& text, std::vector<ScriptRequest>& requests, std::string& error);
// Runs the requests, printing each with its reply. False when the pipe failed.
bool RunScript(Simulation& simulation, const std::vector<ScriptRequest>& requests, std::ostream& out);

// The UTF-16 card name of a reply, up to its terminator or the end of the field.
std::string CardNameText(const PipeRequest& reply);

// The whole program: 0 done, 1 failed (bad file, service or pipe failure), 2 bad usage.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace px71sim
