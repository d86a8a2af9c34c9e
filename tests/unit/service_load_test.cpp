// Several clients at once against the service on the simulated machine: each waits
// while the pipe is busy, and every one gets its own reply.
#include "service/service_host.h"
#include "tests/support/numbered_request.h"
#include "sim/processes.h"
#include "support/machine_test.h"
#include "client/pipe_client.h"

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

TEST(ServiceLoad, FourClientsAtOnceEachGetTheirOwnReplies)
{
    sim::Machine machine;
    sim::ActiveMachine active(machine);
    machine.set_logging(false);
    machine.interleave_calls = true;  // lets the clients' calls fall between the service's
    px71test::WithoutSlotWatch(machine);
    sim::LaunchService(machine, u"PX71Service");
    std::thread process([] { px71service::RunServiceProcess(); });
    ASSERT_TRUE(sim::WaitForServiceState(machine, SERVICE_RUNNING, 5000));

    constexpr int kClients = 4, kEach = 50;
    std::atomic<int> answered{0}, wrong{0}, lost{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            sim::ActiveMachine on(machine);
            for (int i = 0; i < kEach; ++i) {
                const PipeRequest request = NumberedRequest(static_cast<std::uint32_t>(c * kEach + i));
                PipeRequest reply{};
                px71client::Answer answer;
                do answer = px71client::Transact(request, reply, 5000);
                while (answer.outcome == px71client::Outcome::kBusy);
                if (answer.outcome != px71client::Outcome::kAnswered) {
                    ++lost;
                    continue;
                }
                (EchoOf(request, reply) ? answered : wrong)++;
            }
        });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(answered.load(), kClients * kEach);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(lost.load(), 0);

    EXPECT_TRUE(sim::SendControl(machine, SERVICE_CONTROL_STOP, 5000));
    process.join();
    EXPECT_TRUE(px71test::NothingOpen(machine));
}

} // namespace
