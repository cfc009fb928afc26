#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/SntpTimestamp.h"
#include "core/SocketsLayer.h"
#include "core/SyncManager.h"
#include "core/Synchroniser.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeClockSetter.h"
#include "tests/support/FakeInternetProbe.h"
#include "tests/support/FakeNetworkState.h"
#include "tests/support/FakePrompts.h"
#include "tests/support/FakeSntpServer.h"
#include "tests/support/LockstepServerClock.h"
#include "tests/support/TempSettings.h"

// Everything a synchronisation run needs, on a frozen clock at 2026-12-06
// 14:05:30.250 UTC with local time one hour ahead (15:05:30.250), and a server
// in lockstep with it whose true time lies serverAheadSeconds ahead. Three
// servers, all this one, titled "First", "Second" and "Third"; the first is
// current. Month names of the C locale; the status text starts as "Null".
struct SyncRig {
    static ClockTime Start() {
        return AddSecondsTo(ClockFromSystemTime({2026, 12, 0, 6, 14, 5, 30, 0}), 0.25);
    }

    explicit SyncRig(double serverAheadSeconds = 0.5, uint32_t receiveTimeoutMs = 300,
                     ClockTime start = Start())
        : clock(start), trueClock(clock, AddSecondsTo(start, serverAheadSeconds)), server(trueClock) {
        clock.SetLocalOffset(3600);
        // The three servers are one: none could bear out another. Tests of
        // large corrections taken on a second server's word turn this on.
        settings.bConfirmLarge = 0;
        for (const char* title : {"First", "Second", "Third"}) {
            settings.servers.Add(CServer(title, FakeSntpServer::kHost, 0));
        }
        manager = std::make_unique<SyncManager>(settings, clock, prompts, "C");
        manager->SetCurrentServer();
        manager->SetStatusText("Null");
        // The three servers are one address: only a kiss-o'-death holds it back.
        exchange = {server.Port(), receiveTimeoutMs, std::chrono::seconds(0)};
        Rebuild();
    }

    // Both build the synchroniser anew: call them before anything (a
    // scheduler) holds on to it.
    // Runs set the clock through setter from now on.
    void UseSetter(ClockSetter& setter) {
        m_setter = &setter;
        Rebuild();
    }
    // Manual runs probe the Internet with probe from now on.
    void UseProbe(InternetProbe& probe) {
        m_probe = &probe;
        Rebuild();
    }

    // One whole run, begun now on the current server.
    int Run(int32_t interactive) {
        return synchroniser->SyncThreadProc(interactive, manager->BeginRun(interactive));
    }

    // The coming replies make a delay of delaySeconds and put the server's
    // time serverAheadSeconds ahead of the client's.
    void FixDelay(double delaySeconds, double serverAheadSeconds) {
        const CSNTPTimestamp t2 =
            CSNTPTimestamp::FromClockTime(AddSecondsTo(clock.Now(), serverAheadSeconds));
        server.FixTimestamp(FakeSntpServer::Timestamp::Receive, t2);
        // The exchange's 1/128 s added exactly, as 2^25 units of 2^-32 s.
        const CSNTPTimestamp t3 = CSNTPTimestamp(t2.Value() + (uint64_t{1} << 25)).AddSeconds(-delaySeconds);
        server.FixTimestamp(FakeSntpServer::Timestamp::Transmit, t3);
    }

    // Seconds the client's clock stands ahead of the server's true time.
    double ClientAheadSeconds() const { return SecondsBetween(clock.Now(), trueClock.TrueNow()); }

    TempSettings temp;
    Settings& settings = temp.settings;
    FakeClock clock;
    LockstepServerClock trueClock;
    FakeSntpServer server;
    FakePrompts prompts;
    FakeClockSetter clockSetter{clock};
    SocketsLayer sockets;
    FakeInternetProbe probe;
    FakeNetworkState network;
    std::unique_ptr<SyncManager> manager;
    ExchangeOptions exchange;
    std::unique_ptr<Synchroniser> synchroniser;

private:
    void Rebuild() {
        synchroniser =
            std::make_unique<Synchroniser>(*manager, clock, *m_setter, sockets, *m_probe, exchange);
    }

    ClockSetter* m_setter = &clockSetter;
    InternetProbe* m_probe = &probe;
};
