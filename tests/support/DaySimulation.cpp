#include "tests/support/DaySimulation.h"

#include <algorithm>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/SyncManager.h"
#include "core/SyncScheduler.h"
#include "core/Synchroniser.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeClockSetter.h"
#include "tests/support/FakeInternetProbe.h"
#include "tests/support/FakeNetworkState.h"
#include "tests/support/FakePrompts.h"
#include "tests/support/FakeSntpServer.h"
#include "tests/support/TempSettings.h"

namespace {

constexpr std::size_t kServers = 18;

class HiddenWindow final : public MainWindowView {
public:
    bool IsWindowVisible() const override { return false; }
    void RequestClose() override {}
    void SetProgress(int) override {}
    void RefreshDisplay() override {}
    bool WindowExists() const override { return true; }
};

}  // namespace

DaySimulation::Result DaySimulation::Run(Fault fault, std::chrono::seconds span) {
    // Following real time, so that every exchange has a delay above 0.
    FakeClock clock = FakeClock::FollowingRealTime(0);
    std::vector<std::unique_ptr<FakeSntpServer>> servers;
    TempSettings temp;
    Settings& settings = temp.settings;
    settings.bExitAfter = 0;
    for (std::size_t i = 0; i < kServers; ++i) {
        const uint16_t port = servers.empty() ? 0 : servers.front()->Port();
        auto& server = servers.emplace_back(
            std::make_unique<FakeSntpServer>(clock, "127.0.0." + std::to_string(i + 2), port));
        server->SetSilent(fault == Fault::Silent);
        if (fault == Fault::Rejecting) {
            server->SetLeapIndicator(3);
        } else if (fault == Fault::KissOfDeath) {
            server->SetStratum(0);
        }
        settings.servers.Add(CServer("Server " + std::to_string(i + 1), server->Host(), 0));
    }
    FakePrompts prompts;
    FakeClockSetter setter(
        clock, fault == Fault::SetRefused ? FakeClockSetter::Mode::Refused : FakeClockSetter::Mode::Granted);
    SocketsLayer sockets;
    FakeInternetProbe probe;
    FakeNetworkState network;
    SyncManager manager(settings, clock, prompts, "C");
    manager.SetCurrentServer();
    Synchroniser synchroniser(manager, clock, setter, sockets, probe, {servers.front()->Port(), 30});
    SyncScheduler scheduler(manager, synchroniser, settings, clock, network);
    HiddenWindow window;

    Result result;
    std::vector<std::size_t> counts(kServers, 0);
    std::vector<double> lastAt(kServers, -1);
    double lastAny = -1;
    result.closestToOneServerSeconds = static_cast<double>(span.count());
    for (int64_t second = 0; second < span.count(); ++second) {
        scheduler.OnTimerTick(window);
        while (scheduler.IsRunning()) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        for (std::size_t i = 0; i < kServers; ++i) {
            const std::size_t now = servers[i]->RequestCount();
            for (; counts[i] < now; ++counts[i]) {
                const auto at = static_cast<double>(second);
                if (lastAt[i] >= 0) {
                    result.closestToOneServerSeconds =
                        std::min(result.closestToOneServerSeconds, at - lastAt[i]);
                }
                if (lastAny >= 0) {
                    result.longestGapSeconds = std::max(result.longestGapSeconds, at - lastAny);
                }
                lastAt[i] = lastAny = at;
                ++result.requests;
            }
        }
        clock.Advance(1);
    }
    result.nextAttemptSeconds = scheduler.SecondsToNextAutomaticAttempt().value_or(-1);
    for (const std::size_t count : counts) {
        result.busiestServer = std::max(result.busiestServer, count);
        result.serversAsked += count != 0 ? 1 : 0;
    }
    return result;
}
