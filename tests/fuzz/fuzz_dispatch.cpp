// The service's command table with arbitrary requests of 0 to 1000 bytes (a record
// zero-filled past the bytes given, the rest ignored) on a fresh default machine:
// nothing crashes, nothing is left open, and only Result and CardName change.
#include "service/command_dispatch.h"
#include "sim/default_machine.h"
#include "sim/machine.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool SameBytes(const PipeRequest& a, const PipeRequest& b, std::size_t from, std::size_t to)
{
    return std::memcmp(reinterpret_cast<const char*>(&a) + from, reinterpret_cast<const char*>(&b) + from,
                       to - from) == 0;
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 1000) return -1;  // outside the request sizes this target explores
    PipeRequest request;
    std::memset(&request, 0, sizeof request);
    std::memcpy(&request, data, size < sizeof request ? size : sizeof request);
    const PipeRequest sent = request;

    sim::Machine machine;
    machine.set_logging(false);
    sim::BuildDefaultMachine(machine);
    {
        sim::ActiveMachine active(machine);
        px71service::RunCommand(request);
    }
    if (!(machine.Outstanding() == sim::Accounting{})) {
        std::fprintf(stderr, "left behind: %s\n", sim::Describe(machine.Outstanding()).c_str());
        std::abort();
    }
    // Command, LastError and every input field come back as sent; only Result (at 4)
    // and CardName (256 to 384) are the service's to write.
    if (!SameBytes(request, sent, 0, offsetof(PipeRequest, Result)) ||
        !SameBytes(request, sent, offsetof(PipeRequest, LastError), offsetof(PipeRequest, CardName)) ||
        !SameBytes(request, sent, offsetof(PipeRequest, CardNameSize), sizeof request))
        Fail("a field the command does not own changed");
    // The name commands write no further into CardName than the size they are given
    // (characters, capped at the field's 64) and always zero its first character.
    const bool names = request.Command >= 10 && request.Command <= 13;
    const std::size_t given = 2 * static_cast<std::size_t>(sent.CardNameSize < 64 ? sent.CardNameSize : 64);
    const std::size_t allowed = names ? (given > 2 ? given : 2) : 0;
    if (!SameBytes(request, sent, offsetof(PipeRequest, CardName) + allowed, offsetof(PipeRequest, CardNameSize)))
        Fail("CardName written past the size given");
    return 0;
}
