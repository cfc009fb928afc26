// tidewell-bench: how accurate and how quick the SNTP exchange is against a real
// server on loopback, how it compares with a reference client, and what the
// program costs while it idles. Prints one Markdown table on standard output;
// progress goes to standard error.
//
// Nothing here sets this machine's clock: the exchanges run on a clock that
// follows the real one in memory only, chronyd runs with -x, and the programs
// started (ntpdig, tidewell) run as nobody with no_new_privs.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "bench/NtpdigOutput.h"
#include "bench/ProcessUsage.h"
#include "bench/Statistics.h"
#include "bench/Unprivileged.h"
#include "core/NtsClient.h"
#include "core/ReplyCheck.h"
#include "core/SntpClient.h"
#include "core/SocketsLayer.h"
#include "core/SyncManager.h"
#include "core/Synchroniser.h"
#include "history/HistoryRecorder.h"
#include "history/HistoryStore.h"
#include "platform/ClockSetter.h"
#include "platform/LastError.h"
#include "tests/support/Chronyd.h"
#include "tests/support/DaySimulation.h"
#include "tests/support/FakeClock.h"
#include "tests/support/FakeClockSetter.h"
#include "tests/support/FakeHelp.h"
#include "tests/support/FakeInternetProbe.h"
#include "tests/support/FakePrompts.h"
#include "tests/support/FakeSntpServer.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TempSettings.h"
#include "ui/CHistoryDlg.h"
#include "ui/CServerDlg.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kReceiveTimeoutMs = 2000;
constexpr double kShiftSeconds = 7200;  // faketime "+2h": the server is this far ahead
constexpr uint16_t kNtpPort = 123;
// Start-up (settings, window, first timer ticks) is not idling.
constexpr int kStartUpSeconds = 5;

struct Options {
    int exchanges = 200;
    int idleSeconds = 60;
    int gapMs = 10;  // between exchanges, so that each meets a quiet server
    int findBestRuns = 3;
    std::string app = TIDEWELL_BINARY_DIR "/app/tidewell";
    bool historyOnly = false;  // only the history's rows
};

void Progress(const std::string& text) {
    std::cerr << "tidewell-bench: " << text << std::endl;
}

std::string Fixed(double value, int decimals, bool sign = false) {
    if (std::isnan(value)) {
        return "-";
    }
    char text[64];
    std::snprintf(text, sizeof text, sign ? "%+.*f" : "%.*f", decimals, value);
    return text;
}

std::string FindProgram(const std::string& name) {
    for (const char* folder : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
        const std::string path = std::string(folder) + "/" + name;
        if (access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return {};
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// The output of a short command, first line only; empty if it fails.
std::string CommandLine(const std::string& command) {
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[512];
        while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
            output += buffer;
        }
        pclose(pipe);
    }
    return FirstLine(output);
}

class Table {
public:
    void Add(std::string measurement, std::string median, std::string p95, std::string samples,
             std::string notes) {
        m_rows.push_back({std::move(measurement), std::move(median), std::move(p95), std::move(samples),
                          std::move(notes)});
    }
    void AddSummary(const std::string& measurement, const Summary& summary, bool signedMedian,
                    const std::string& notes) {
        Add(measurement, Fixed(summary.median, 1, signedMedian), Fixed(summary.p95, 1),
            std::to_string(summary.count), notes);
    }
    void AddUnavailable(const std::string& measurement, const std::string& why) {
        Add(measurement, "-", "-", "0", why);
    }
    void Print(std::ostream& out) const {
        out << "| Measurement | Median | 95th percentile | Samples | Notes |\n"
            << "|---|---:|---:|---:|---|\n";
        for (const Row& row : m_rows) {
            out << "| " << row.measurement << " | " << row.median << " | " << row.p95 << " | " << row.samples
                << " | " << row.notes << " |\n";
        }
    }

private:
    struct Row {
        std::string measurement, median, p95, samples, notes;
    };
    std::vector<Row> m_rows;
};

constexpr double kMicro = 1e6;

// Samples in microseconds.
struct ExchangeSamples {
    std::vector<double> offsetErrorsUs;
    std::vector<double> delaysUs;
    std::vector<double> exchangeTimesUs;
    int failed = 0;
    std::string firstFailure;

    std::string Accepted(int asked) const {
        std::string text = std::to_string(asked - failed) + " of " + std::to_string(asked) + " accepted";
        if (failed > 0) {
            text += " (first failure: " + firstFailure + ")";
        }
        return text;
    }
};

// Exchanges as the program makes them: CSNTPClient::Query, judged by CheckReply.
ExchangeSamples MeasureExchanges(uint16_t port, double trueOffsetSeconds, const Options& options) {
    FakeClock clock = FakeClock::FollowingRealTime(0);
    NoClockSetter clockSetter;
    CSNTPClient client(clock, clockSetter, kReceiveTimeoutMs);
    ExchangeSamples samples;
    for (int i = 0; i < options.exchanges; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.gapMs));
        CSNTPReply reply{};
        const auto start = Clock::now();
        const bool answered = client.Query(Chronyd::kHost, reply, port);
        const auto end = Clock::now();
        std::string failure;
        if (!answered) {
            failure = "last error " + std::to_string(GetLastError());
        } else if (const ReplyVerdict verdict = CheckReply(reply); !verdict.Accepted()) {
            failure = verdict.reason;
        }
        if (!failure.empty()) {
            if (samples.failed++ == 0) {
                samples.firstFailure = failure;
            }
            continue;
        }
        samples.offsetErrorsUs.push_back((reply.localClockOffsetSeconds - trueOffsetSeconds) * kMicro);
        samples.delaysUs.push_back(reply.roundTripDelaySeconds * kMicro);
        samples.exchangeTimesUs.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    if (!clock.Sets().empty()) {
        throw std::logic_error("an exchange set the clock");
    }
    return samples;
}

// SyncWithServer in measuring mode, as the dialogs call it: the wall time of
// each call in microseconds.
ExchangeSamples MeasureSyncWithServer(uint16_t port, const Options& options) {
    TempSettings settings;
    FakeClock clock = FakeClock::FollowingRealTime(0);
    FakePrompts prompts;
    NoClockSetter clockSetter;
    SocketsLayer sockets;
    FakeInternetProbe probe;
    SyncManager manager(settings.settings, clock, prompts, "C");
    // Back to back on purpose: the pacing of automatic requests is left out.
    Synchroniser synchroniser(manager, clock, clockSetter, sockets, probe, {port, kReceiveTimeoutMs, {}});
    ExchangeSamples samples;
    for (int i = 0; i < options.exchanges; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.gapMs));
        const auto start = Clock::now();
        const double delaySeconds = synchroniser.SyncWithServer(0, 0, Chronyd::kHost);
        const auto end = Clock::now();
        if (delaySeconds <= 0) {
            if (samples.failed++ == 0) {
                samples.firstFailure = "0 (last error " + std::to_string(GetLastError()) + ")";
            }
            continue;
        }
        samples.exchangeTimesUs.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    if (!clock.Sets().empty() || prompts.Count() != 0) {
        throw std::logic_error("measuring mode set the clock or showed a box");
    }
    return samples;
}

void AddAccuracyRows(Table& table, const std::string& server, const ExchangeSamples& samples,
                     const std::string& truth, int asked) {
    table.AddSummary("Offset error, " + server + " (µs)", SummariseErrors(samples.offsetErrorsUs), true,
                     "measured − true offset (" + truth + "); 95th percentile of the magnitude; " +
                         samples.Accepted(asked));
    table.AddSummary("Delay, " + server + " (µs)", Summarise(samples.delaysUs), false,
                     "round trip without the server's hold time");
}

std::optional<Chronyd> StartChronyd(const ChronydOptions& options, std::string& failure) {
    if (std::string reason = Chronyd::Unavailable(options); !reason.empty()) {
        failure = reason;
        return std::nullopt;
    }
    try {
        return std::make_optional<Chronyd>(options);
    } catch (const std::exception& error) {
        failure = FirstLine(error.what());
        return std::nullopt;
    }
}

double Microseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Network Time Security against chronyd serving it with a certificate made
// here: our key establishment and authenticated exchange, and chronyd's own
// client (`chronyd -Q`) measuring the same server once per process.
void AddNtsRows(Table& table, const Options& options) {
    const std::string rows[] = {"NTS key establishment, Tidewell (µs)",
                                "NTS key establishment, Tidewell, CPU (µs)",
                                "NTS exchange, Tidewell (µs)",
                                "Offset error, NTS, Tidewell (µs)",
                                "NTS measurement, chronyd -Q, wall (µs)",
                                "NTS measurement, chronyd -Q, CPU (µs)",
                                "Offset error, NTS, chronyd -Q (µs)"};
    TempFolder folder;
    const std::string cert = folder.Path() + "/cert.pem";
    const std::string key = folder.Path() + "/key.pem";
    const std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1,DNS:localhost -keyout " +
        key + " -out " + cert + " >/dev/null 2>&1";
    std::string failure = std::system(make.c_str()) == 0 ? "" : "the openssl command failed";
    ChronydOptions serverOptions;
    serverOptions.ntsCertFile = cert;
    serverOptions.ntsKeyFile = key;
    std::optional<Chronyd> chronyd = failure.empty() ? StartChronyd(serverOptions, failure) : std::nullopt;
    if (!chronyd) {
        for (const std::string& row : rows) {
            table.AddUnavailable(row, "not measured: " + failure);
        }
        return;
    }
    Progress("NTS: Tidewell and chronyd -Q against chronyd");
    FakeClock clock = FakeClock::FollowingRealTime(0);
    const NtsKeOptions keOptions{cert, kReceiveTimeoutMs};
    const NtsHost host{Chronyd::kHost, chronyd->NtsPort()};
    std::vector<double> handshakes;
    std::vector<double> handshakeCpus;
    std::vector<double> exchanges;
    std::vector<double> offsets;
    ExchangeSamples failures;
    const auto fail = [&failures] {
        if (failures.failed++ == 0) {
            failures.firstFailure = LastErrorText(GetLastError()) + ": " + NtsLastDetail();
        }
    };
    const int runs = std::min(options.exchanges, 50);
    NtsSession session;
    for (int i = 0; i < runs; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.gapMs));
        const double cpuBefore = CpuSeconds(RUSAGE_THREAD);
        const auto start = Clock::now();
        if (NtsEstablish(host, keOptions, {}, session)) {
            handshakes.push_back(Microseconds(Clock::now() - start));
            handshakeCpus.push_back((CpuSeconds(RUSAGE_THREAD) - cpuBefore) * kMicro);
        }
    }
    for (int i = 0; i < options.exchanges; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.gapMs));
        if (session.cookies.empty() && !NtsEstablish(host, keOptions, {}, session)) {
            fail();
            continue;
        }
        CSNTPReply reply{};
        const auto start = Clock::now();
        if (!NtsExchange(session, clock, chronyd->Port(), kReceiveTimeoutMs, {}, reply)) {
            fail();
            session.cookies.clear();
            continue;
        }
        exchanges.push_back(Microseconds(Clock::now() - start));
        if (!CheckReply(reply).Accepted()) {
            SetLastError(EPROTO);
            fail();
            continue;
        }
        offsets.push_back(reply.localClockOffsetSeconds * kMicro);
    }
    table.AddSummary(rows[0], Summarise(handshakes), false,
                     "TCP connect, TLS 1.3 with the certificate checked, records, keys exported; " +
                         std::to_string(runs) + " handshakes");
    table.AddSummary(rows[1], Summarise(handshakeCpus), false, "user + system time of the thread");
    table.AddSummary(rows[2], Summarise(exchanges), false,
                     "one cookie spent, request sealed, reply verified, fresh cookie kept; " +
                         failures.Accepted(options.exchanges));
    table.AddSummary(rows[3], SummariseErrors(offsets), true,
                     "measured offset, the server on the real clock");

    // chronyd's client: one process per measurement, its key establishment
    // included; its polling, not the network, sets most of the wall time.
    const std::string config = folder.Path() + "/client.conf";
    {
        std::ofstream out(config);
        out << "server 127.0.0.1 port " << chronyd->Port() << " nts ntsport " << chronyd->NtsPort()
            << " minpoll -6 maxpoll -6 maxsamples 1\n"
            << "ntstrustedcerts " << cert << "\ncmdport 0\nbindcmdaddress /\npidfile " << folder.Path()
            << "/client.pid\n";
    }
    std::vector<double> walls;
    std::vector<double> cpus;
    std::vector<double> chronyOffsets;
    const int processes = std::min(options.exchanges, 10);
    std::string firstFailure;
    for (int i = 0; i < processes; ++i) {
        const double cpuBefore = CpuSeconds(RUSAGE_CHILDREN);
        const auto start = Clock::now();
        const std::string command = FindProgram("chronyd") + " -4 -d -u root -Q -f " + config + " 2>&1";
        std::string output;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[512];
            while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
                output += buffer;
            }
            pclose(pipe);
        }
        const auto end = Clock::now();
        // "System clock wrong by -0.000006 seconds (ignored)": positive when the clock is ahead.
        const std::size_t at = output.find("wrong by ");
        if (at == std::string::npos) {
            firstFailure = firstFailure.empty() ? FirstLine(output) : firstFailure;
            continue;
        }
        walls.push_back(Microseconds(end - start));
        cpus.push_back((CpuSeconds(RUSAGE_CHILDREN) - cpuBefore) * kMicro);
        chronyOffsets.push_back(-std::stod(output.substr(at + 9)) * kMicro);
    }
    const std::string accepted = std::to_string(walls.size()) + " of " + std::to_string(processes) +
                                 " measured" +
                                 (firstFailure.empty() ? "" : " (first failure: " + firstFailure + ")");
    table.AddSummary(rows[4], Summarise(walls), false,
                     "process start to exit, `server 127.0.0.1 nts minpoll -6 maxsamples 1`; " + accepted);
    table.AddSummary(rows[5], Summarise(cpus), false, "user + system time of the process");
    table.AddSummary(rows[6], SummariseErrors(chronyOffsets), true, "its \"wrong by\" line, sign as ours");
}

// Why a chronyd on 127.0.0.1:123 cannot be started here, or empty. A bind
// that succeeds proves that nobody else holds the port (on 127.0.0.1 nor on
// the wildcard address); the socket is closed again at once.
std::string Port123Unavailable() {
    if (FindProgram("ntpdig").empty()) {
        return "ntpdig is not installed (Debian package ntpsec-ntpdig)";
    }
    if (geteuid() != 0) {
        return "port 123 is privileged and this is not root";
    }
    const int handle = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (handle < 0) {
        return std::string("no UDP socket: ") + std::strerror(errno);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(kNtpPort);
    const int bound = bind(handle, reinterpret_cast<sockaddr*>(&address), sizeof address);
    const int error = errno;
    close(handle);
    if (bound == 0) {
        return {};
    }
    if (error == EADDRINUSE) {
        return "port 123 is in use by another program on this machine, which is left alone";
    }
    return std::string("port 123 cannot be bound: ") + std::strerror(error);
}

struct NtpdigSamples {
    std::vector<double> offsetsUs;
    std::vector<double> delaysUs;
    int failed = 0;
    std::string firstFailure;
};

NtpdigSamples MeasureNtpdig(const Options& options) {
    TempFolder folder;
    const std::string output = folder.Path() + "/ntpdig.out";
    NtpdigSamples samples;
    for (int i = 0; i < options.exchanges; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(options.gapMs));
        std::string failure;
        try {
            // -d -d prints T2-T1 and T3-T4, from which the delay follows; no
            // option that sets the clock is ever given.
            UnprivilegedProcess ntpdig({{FindProgram("ntpdig"), "-d", "-d", "-j", "-t", "2", Chronyd::kHost},
                                        {"PATH=/usr/bin:/bin", "LANG=C.UTF-8"},
                                        output});
            const auto status = ntpdig.Wait(std::chrono::seconds(10));
            const int ended = status ? *status : ntpdig.End();
            if (const auto sample = ParseNtpdigOutput(TempFolder::ReadFile(output))) {
                samples.offsetsUs.push_back(sample->offsetSeconds * kMicro);
                samples.delaysUs.push_back(sample->delaySeconds * kMicro);
            } else {
                failure = "no offset and delay in its output; " + DescribeWaitStatus(ended);
            }
        } catch (const std::exception& error) {
            failure = error.what();
        }
        if (!failure.empty() && samples.failed++ == 0) {
            samples.firstFailure = failure;
        }
    }
    return samples;
}

void AddPort123Rows(Table& table, const Options& options) {
    const std::string tidewellRow = "Offset error, Tidewell, chronyd on 127.0.0.1:123 (µs)";
    const std::string tidewellDelayRow = "Delay, Tidewell, chronyd on 127.0.0.1:123 (µs)";
    const std::string ntpdigRow = "Offset error, ntpdig, chronyd on 127.0.0.1:123 (µs)";
    const std::string ntpdigDelayRow = "Delay, ntpdig, chronyd on 127.0.0.1:123 (µs)";
    std::string failure = Port123Unavailable();
    ChronydOptions chronydOptions;
    chronydOptions.port = kNtpPort;
    const std::optional<Chronyd> chronyd =
        failure.empty() ? StartChronyd(chronydOptions, failure) : std::nullopt;
    if (!chronyd) {
        for (const std::string& row : {tidewellRow, tidewellDelayRow, ntpdigRow, ntpdigDelayRow}) {
            table.AddUnavailable(row, "not measured: " + failure);
        }
        return;
    }
    Progress("Tidewell and ntpdig against chronyd on 127.0.0.1:123");
    const ExchangeSamples tidewell = MeasureExchanges(kNtpPort, 0, options);
    table.AddSummary(
        tidewellRow, SummariseErrors(tidewell.offsetErrorsUs), true,
        "true offset 0 s; 95th percentile of the magnitude; " + tidewell.Accepted(options.exchanges));
    table.AddSummary(tidewellDelayRow, Summarise(tidewell.delaysUs), false, "");
    const NtpdigSamples ntpdig = MeasureNtpdig(options);
    std::string accepted = std::to_string(options.exchanges - ntpdig.failed) + " of " +
                           std::to_string(options.exchanges) + " runs gave a result";
    if (ntpdig.failed > 0) {
        accepted += " (first failure: " + ntpdig.firstFailure + ")";
    }
    table.AddSummary(ntpdigRow, SummariseErrors(ntpdig.offsetsUs), true,
                     "one `ntpdig -d -d -j 127.0.0.1` per sample, as " + UnprivilegedProcess::UserName() +
                         "; its offset has 1 µs steps; " + accepted);
    table.AddSummary(ntpdigDelayRow, Summarise(ntpdig.delaysUs), false,
                     "(T2 − T1) − (T3 − T4) from its debug output, 1 µs steps");
}

// Runs the program offscreen with a home of its own, lets it start, then
// reads its CPU time and memory across the idle period.
void AddIdleRows(Table& table, const Options& options) {
    const std::string cpuRow =
        "Idle CPU time of tidewell over " + std::to_string(options.idleSeconds) + " s (ms)";
    const std::string memoryRow = "Resident memory of tidewell, VmRSS at the end (MiB)";
    const std::string app = std::filesystem::absolute(options.app).string();
    if (access(app.c_str(), X_OK) != 0) {
        table.AddUnavailable(cpuRow, "not built (" + options.app + ")");
        table.AddUnavailable(memoryRow, "not built");
        return;
    }
    TempFolder folder;
    const std::string home = folder.Path() + "/home";
    const std::string runtime = folder.Path() + "/runtime";
    const std::string tmp = folder.Path() + "/tmp";
    std::string failure;
    for (const std::string& path : {home, home + "/.config", runtime, tmp}) {
        std::filesystem::create_directories(path);
        if (!UnprivilegedProcess::GiveFolder(path)) {
            failure = "cannot hand " + path + " to nobody";
        }
    }
    UnprivilegedProcess::GiveFolder(folder.Path());
    chmod(folder.Path().c_str(), 0755);
    // The user it runs as may not reach the build (a checkout under /root, a
    // 0700 home): it runs a copy from here.
    const std::string copy = folder.Path() + "/tidewell";
    std::error_code copyError;
    std::filesystem::copy_file(app, copy, copyError);
    if (copyError || chmod(copy.c_str(), 0755) != 0) {
        failure = "cannot copy " + app + " for nobody";
    }
    const std::string log = folder.Path() + "/tidewell.log";
    std::optional<ProcessUsage> atStart;
    std::optional<ProcessUsage> atEnd;
    double idleSeconds = 0;
    if (failure.empty()) {
        Progress("tidewell idling for " + std::to_string(kStartUpSeconds + options.idleSeconds) + " s");
        // TMPDIR of its own: its single-instance socket must not meet another
        // copy of the program that someone runs on this machine.
        UnprivilegedProcess tidewell(
            {{copy},
             {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config", "XDG_CONFIG_DIRS=" + home,
              "XDG_RUNTIME_DIR=" + runtime, "TMPDIR=" + tmp, "QT_QPA_PLATFORM=offscreen",
              "PATH=/usr/bin:/bin", "LANG=C.UTF-8"},
             log,
             // Its first start synchronises with the built-in public servers:
             // no packet of it may leave this machine.
             true});
        const auto startUp = Clock::now();
        if (!tidewell.Wait(std::chrono::seconds(kStartUpSeconds))) {
            atStart = ReadProcessUsage(tidewell.Pid());
            const auto idleStart = Clock::now();
            const auto status = tidewell.Wait(std::chrono::seconds(options.idleSeconds));
            if (!status) {
                atEnd = ReadProcessUsage(tidewell.Pid());
            }
            idleSeconds = std::chrono::duration<double>(Clock::now() - idleStart).count();
        }
        if (tidewell.Running()) {
            tidewell.End();
        } else {
            const double lived = std::chrono::duration<double>(Clock::now() - startUp).count();
            failure = "tidewell " + DescribeWaitStatus(*tidewell.Wait(std::chrono::milliseconds(0))) +
                      " after " + Fixed(lived, 1) + " s: " + FirstLine(TempFolder::ReadFile(log));
        }
    }
    if (!failure.empty() || !atStart || !atEnd) {
        if (failure.empty()) {
            failure = "its /proc entries could not be read";
        }
        table.AddUnavailable(cpuRow, "not measured: " + failure);
        table.AddUnavailable(memoryRow, "not measured");
        return;
    }
    const double cpuSeconds = atEnd->cpuSeconds - atStart->cpuSeconds;
    table.Add(cpuRow, Fixed(cpuSeconds * 1000, 0), "-", "1",
              Fixed(100 * cpuSeconds / idleSeconds, 3) + " % of one core; start-up (first " +
                  std::to_string(kStartUpSeconds) + " s) " + Fixed(atStart->cpuSeconds * 1000, 0) +
                  " ms; offscreen, as " +
                  (UnprivilegedProcess::UserName().empty() ? "this user" : UnprivilegedProcess::UserName()) +
                  ", empty HOME; /proc/<pid>/stat, " + std::to_string(sysconf(_SC_CLK_TCK)) +
                  " ticks a second");
    table.Add(memoryRow, Fixed(atEnd->residentKb / 1024.0, 1), "-", "1",
              "VmRSS after " + Fixed(idleSeconds, 0) + " s idle (" + Fixed(atStart->residentKb / 1024.0, 1) +
                  " MiB at its start); peak VmHWM " + Fixed(atEnd->peakResidentKb / 1024.0, 1) + " MiB");
}

constexpr int kHistoryRecords = 100000;
constexpr int kWindowOpenings = 5;

// A year and a half of hourly runs against three servers, a few failing.
std::vector<AttemptRecord> HistoryRecords(int count) {
    std::vector<AttemptRecord> records;
    records.reserve(static_cast<std::size_t>(count));
    const ClockTime start{1796565930 - int64_t{count} * 480, 0};
    for (int i = 0; i < count; ++i) {
        AttemptRecord r;
        r.timeUtc = {start.seconds + int64_t{i} * 480, 0};
        r.serverTitle = "Server " + std::to_string(i % 3);
        r.serverHost = "10.0.0." + std::to_string(i % 3);
        r.kind = AttemptKind::Automatic;
        r.outcome = i % 97 == 0 ? AttemptOutcome::Failure : AttemptOutcome::Success;
        if (r.outcome == AttemptOutcome::Success) {
            r.offsetSeconds = -0.0096 + 0.001 * std::sin(i);
            r.delaySeconds = 0.02;
            r.correctionSeconds = r.offsetSeconds;
            r.statusText = "Success synchro: Dec. 06, 2026. Net delay: 0.020 sec.";
        } else {
            r.statusText = "Communication error! 15:05; 06-Dec-2026";
        }
        records.push_back(std::move(r));
    }
    return records;
}

// The history: what a run pays to hand over its record, what the writer pays
// to store one beside 100,000 others, and what opening the window costs.
void AddHistoryRows(Table& table, const Options& options) {
    const std::string recordRow = "Recording one attempt, the run's side (µs)";
    const std::string writeRow = "Writing one record, 100,000 kept (µs)";
    const std::string openRow = "Opening the History window over 100,000 records (ms)";
    const std::string readRow = "Reading 100,000 records, the window's read (ms)";
    TempFolder folder;
    const std::string path = folder.Path() + "/history.sqlite";
    {
        HistoryStore store(path);
        if (!store.Append(HistoryRecords(kHistoryRecords))) {
            for (const std::string& row : {recordRow, writeRow, readRow, openRow}) {
                table.AddUnavailable(row, "not measured: the database could not be filled");
            }
            return;
        }
    }
    // A success: stored and pruned like most records (failures in a row would fold into one).
    const AttemptRecord one = HistoryRecords(2).back();
    {
        HistoryStore store(path);
        std::vector<double> writesUs;
        for (int i = 0; i < options.exchanges; ++i) {
            AttemptRecord r = one;
            r.timeUtc.seconds = 1796565930 + i;
            const auto start = Clock::now();
            store.Append(r);
            writesUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        table.AddSummary(
            writeRow, Summarise(writesUs), false,
            "HistoryStore::Append on the writer thread: one WAL transaction, retention included; " +
                std::to_string(store.Count()) + " kept after");
        std::vector<double> readsMs;
        for (int i = 0; i < kWindowOpenings; ++i) {
            const auto start = Clock::now();
            store.LoadAll();
            readsMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        table.AddSummary(readRow, Summarise(readsMs), false,
                         "HistoryStore::LoadAll, on the writer thread: the part of the opening that does not "
                         "hold the user-interface thread");
    }

    // The window runs in main's application object: a second one would tear
    // down what the first still holds when it goes.
    HistoryRecorder recorder(path);
    std::vector<double> recordsUs;
    for (int i = 0; i < options.exchanges; ++i) {
        const auto start = Clock::now();
        recorder.Record(one);
        recordsUs.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (i % 100 == 99) {
            recorder.Flush();
        }
    }
    recorder.Flush();
    table.AddSummary(recordRow, Summarise(recordsUs), false,
                     "HistoryRecorder::Record: queued for the writer thread, nothing waits for the disk");

    std::vector<double> opensMs;
    FakePrompts prompts;
    FakeHelp help;
    for (int i = 0; i < kWindowOpenings; ++i) {
        QElapsedTimer timer;
        timer.start();
        CHistoryDlg window(recorder, prompts, help);
        bool shown = false;
        QObject::connect(&window, &CHistoryDlg::RecordsShown, [&shown] { shown = true; });
        window.show();
        if (!QTest::qWaitFor([&] { return shown; }, 60000)) {
            table.AddUnavailable(openRow, "not measured: the window did not show the records within 60 s");
            return;
        }
        // The first complete picture, chart and table drawn.
        window.grab();
        opensMs.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    table.AddSummary(openRow, Summarise(opensMs), false,
                     "from construction to the chart and table drawn (offscreen); the read runs on the "
                     "writer thread, the user-interface thread stays free meanwhile");
}

// "chronyd (chrony) version 4.3" without its list of features.
// "Find the best" of the server chooser, as the user starts it, over 18
// servers on loopback of which only the last answers; each exchange waits the
// program's own receive time-out.
void AddFindBestRow(Table& table, const Options& options) {
    const std::string row = "Find the best, 18 servers, 17 silent (s)";
    constexpr int kServers = 18;
    std::vector<std::unique_ptr<FakeSntpServer>> servers;
    std::map<std::string, uint16_t> ports;
    TempSettings temp;
    for (int i = 0; i < kServers; ++i) {
        servers.push_back(std::make_unique<FakeSntpServer>());
        servers.back()->SetSilent(i + 1 < kServers);
        const std::string host = "server-" + std::to_string(i);
        ports[host] = servers.back()->Port();
        temp.settings.servers.Add(CServer("Server " + std::to_string(i), host, 0));
    }
    FakeClock clock = FakeClock::FollowingRealTime(0);
    NoClockSetter privilege;
    const ServerMeasure measure = [&](const std::string&, const std::string& host, std::stop_token stop) {
        CSNTPClient client(clock, privilege);
        CSNTPReply reply{};
        return client.Query(FakeSntpServer::kHost, reply, ports.at(host), stop) ? reply.roundTripDelaySeconds
                                                                                : 0.0;
    };
    FakePrompts prompts;
    FakeHelp help;
    std::vector<double> seconds;
    int chosenLast = 0;
    for (int run = 0; run < options.findBestRuns; ++run) {
        Progress("Find the best, run " + std::to_string(run + 1));
        CServerDlg dialog(temp.settings, prompts, help, measure, [] {});
        QEventLoop loop;
        QObject::connect(&dialog, &CServerDlg::TestingFinished, &loop, &QEventLoop::quit);
        const auto start = Clock::now();
        QTimer::singleShot(0, dialog.findChild<QPushButton*>("IDC_FIND_BEST"), &QPushButton::click);
        loop.exec();
        seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        chosenLast += dialog.SelectedIndex() == kServers - 1 ? 1 : 0;
    }
    table.Add(row, Fixed(Summarise(seconds).median, 2), Fixed(Summarise(seconds).p95, 2),
              std::to_string(seconds.size()),
              "receive time-out " + std::to_string(CSNTPClient::kDefaultReceiveTimeoutMs / 1000) +
                  " s; the answering server chosen in " + std::to_string(chosenLast) + " of " +
                  std::to_string(seconds.size()));
}

// A manual run that corrects a clock two hours behind, over servers on
// loopback that answer 20 ms late (a distant server): with the second opinion
// (the two servers after the first, asked at once) and without it.
void AddLargeCorrectionRow(Table& table, const Options& options) {
    const std::string row = "Large correction, confirmed (s)";
    constexpr double kReplyDelaySeconds = 0.02;
    LinuxSystemClock realClock;
    std::vector<std::unique_ptr<FakeSntpServer>> servers;
    TempSettings temp;
    for (const char* host : {"127.0.0.1", "127.0.0.2", "127.0.0.3"}) {
        servers.push_back(
            std::make_unique<FakeSntpServer>(realClock, host, servers.empty() ? 0 : servers.front()->Port()));
        servers.back()->SetReplyDelay(kReplyDelaySeconds);
        temp.settings.servers.Add(CServer(host, host, 0));
    }
    const auto measure = [&](bool confirm, std::string& failure) {
        std::vector<double> seconds;
        temp.settings.bConfirmLarge = confirm ? 1 : 0;
        for (int run = 0; run < options.findBestRuns * 5; ++run) {
            FakeClock clock = FakeClock::FollowingRealTime(-7200);
            FakeClockSetter setter(clock);
            FakePrompts prompts;
            SocketsLayer sockets;
            FakeInternetProbe probe;
            SyncManager manager(temp.settings, clock, prompts, "C");
            manager.SetCurrentServer();
            Synchroniser synchroniser(manager, clock, setter, sockets, probe,
                                      {servers.front()->Port(), kReceiveTimeoutMs, {}});
            const auto start = Clock::now();
            const int result = synchroniser.SyncThreadProc(1, manager.BeginRun(1));
            seconds.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            // A late reply is a slow return path: it leaves half its lateness as error.
            if (result != 1 || std::fabs(clock.OffsetFromRealSeconds()) > kReplyDelaySeconds) {
                failure = "a run failed: " + manager.StatusText();
            }
        }
        return Summarise(seconds);
    };
    Progress("a large correction, with and without a second opinion");
    std::string failure;
    const Summary unconfirmed = measure(false, failure);
    const Summary confirmed = measure(true, failure);
    if (!failure.empty()) {
        table.AddUnavailable(row, "not measured: " + failure);
        return;
    }
    table.Add(row, Fixed(confirmed.median, 3), Fixed(confirmed.p95, 3), std::to_string(confirmed.count),
              "manual run, clock 2 h behind, servers answering 20 ms late; without the second opinion " +
                  Fixed(unconfirmed.median, 3) + " s (median)");
}

std::string ServerVersion() {
    const std::string version = CommandLine("chronyd -v 2>&1");
    return version.substr(0, version.find(" (+"));
}

std::string CpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            const std::size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown CPU";
}

void PrintHeader(int argc, char** argv) {
    char date[64];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", &utc);
    utsname system{};
    uname(&system);
    std::string command;
    for (int i = 0; i < argc; ++i) {
        command += (i > 0 ? " " : "") + std::string(argv[i]);
    }
    std::cout << "## Tidewell benchmark\n\n"
              << "- Date: " << date << "\n"
              << "- Machine: " << std::thread::hardware_concurrency() << " cores, " << CpuModel() << ", "
              << system.sysname << " " << system.release << "\n"
              << "- Server: " << ServerVersion() << ", on 127.0.0.1 with -x\n"
              << "- Command: `" << command << "`\n\n";
}

int Usage() {
    std::cerr << "usage: tidewell-bench [--exchanges N] [--idle-seconds N] [--gap-ms N] [--find-best-runs N]"
                 " [--app PATH] [--history-only]\n";
    return 2;
}

}  // namespace

// What automatic synchronisation sends in a day in which nothing can succeed,
// from the simulation on a frozen clock (no real waiting).
void AddBackOffRows(Table& table) {
    const auto add = [&table](const std::string& measurement, DaySimulation::Fault fault,
                              const std::string& what) {
        const DaySimulation::Result day = DaySimulation::Run(fault);
        table.Add(measurement, std::to_string(day.requests), "-",
                  std::to_string(day.serversAsked) + " servers",
                  what + "; at most " + std::to_string(day.busiestServer) +
                      " to one server, never two within " + Fixed(day.closestToOneServerSeconds, 0) +
                      " s of each other; longest pause " + Fixed(day.longestGapSeconds / 60, 0) + " min");
    };
    add("Requests in 24 h, setting refused", DaySimulation::Fault::SetRefused,
        "daily mode, 18 servers that answer, every set refused");
    add("Requests in 24 h, every server failing", DaySimulation::Fault::Silent,
        "daily mode, 18 servers that never answer");
}

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--history-only") {
            options.historyOnly = true;
            continue;
        }
        if (i + 1 >= argc) {
            return Usage();
        }
        const std::string value = argv[++i];
        try {
            if (name == "--exchanges") {
                options.exchanges = std::stoi(value);
            } else if (name == "--idle-seconds") {
                options.idleSeconds = std::stoi(value);
            } else if (name == "--gap-ms") {
                options.gapMs = std::stoi(value);
            } else if (name == "--find-best-runs") {
                options.findBestRuns = std::stoi(value);
            } else if (name == "--app") {
                options.app = value;
            } else {
                return Usage();
            }
        } catch (const std::exception&) {
            return Usage();
        }
    }
    if (options.exchanges < 1 || options.idleSeconds < 1 || options.gapMs < 0 || options.findBestRuns < 1) {
        return Usage();
    }

    // The server chooser runs without a display.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication application(argc, argv);

    PrintHeader(argc, argv);
    Table table;
    const std::string count = std::to_string(options.exchanges);

    std::string failure;
    if (options.historyOnly) {
        AddHistoryRows(table, options);
        table.Print(std::cout);
        return 0;
    }
    Progress("chronyd on the real clock");
    if (auto chronyd = StartChronyd({}, failure)) {
        const ExchangeSamples exchanges = MeasureExchanges(chronyd->Port(), 0, options);
        AddAccuracyRows(table, "chronyd on the real clock", exchanges, "0 s", options.exchanges);
        table.AddSummary("Time of one exchange (µs)", Summarise(exchanges.exchangeTimesUs), false,
                         "wall time of CSNTPClient::Query, socket to verdict-ready reply");
        const ExchangeSamples syncs = MeasureSyncWithServer(chronyd->Port(), options);
        table.AddSummary("Time of SyncWithServer, measuring mode (µs)", Summarise(syncs.exchangeTimesUs),
                         false, "one exchange, checked, nothing set; " + syncs.Accepted(options.exchanges));
    } else {
        for (const char* row :
             {"Offset error, chronyd on the real clock (µs)", "Delay, chronyd on the real clock (µs)",
              "Time of one exchange (µs)", "Time of SyncWithServer, measuring mode (µs)"}) {
            table.AddUnavailable(row, "not measured: " + failure);
        }
    }

    Progress("chronyd shifted by +2 h");
    ChronydOptions shifted;
    shifted.fakeTime = "+2h";
    if (auto chronyd = StartChronyd(shifted, failure)) {
        AddAccuracyRows(table, "chronyd at +2 h", MeasureExchanges(chronyd->Port(), kShiftSeconds, options),
                        "+7200 s, faketime", options.exchanges);
    } else {
        for (const char* row : {"Offset error, chronyd at +2 h (µs)", "Delay, chronyd at +2 h (µs)"}) {
            table.AddUnavailable(row, "not measured: " + failure);
        }
    }

    AddNtsRows(table, options);
    AddPort123Rows(table, options);
    AddFindBestRow(table, options);
    AddLargeCorrectionRow(table, options);
    AddIdleRows(table, options);
    Progress("a day of failing automatic synchronisation");
    AddBackOffRows(table);
    Progress("the history");
    AddHistoryRows(table, options);

    table.Print(std::cout);
    std::cout << "\nEach exchange waits " << options.gapMs << " ms after the one before; " << count
              << " exchanges a row. Offsets are positive when the local clock is behind the server.\n";
    return 0;
}
