#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

// One HTTP request as the responder received it.
struct HttpRequest {
    std::string method;
    std::string target;                                        // the path as sent: "/probe"
    std::vector<std::pair<std::string, std::string>> headers;  // in order, names as sent

    // The value of the first header of that name, compared without case.
    std::optional<std::string> Header(std::string_view name) const;
};

// A web server for tests, in this process: 127.0.0.1, an ephemeral TCP port,
// its own thread, one connection at a time. By default it answers every request
// with "200 OK", no body, and closes the connection. Every knob may be turned
// while it runs; each request sees the knobs as they stood when it arrived.
class LocalHttpResponder {
public:
    LocalHttpResponder();
    // Stops the thread and closes every connection, held ones included.
    ~LocalHttpResponder();
    LocalHttpResponder(const LocalHttpResponder&) = delete;
    LocalHttpResponder& operator=(const LocalHttpResponder&) = delete;

    static constexpr const char* kHost = "127.0.0.1";
    uint16_t Port() const { return m_port; }
    // "http://127.0.0.1:<port><target>"
    std::string Url(std::string_view target = "/probe") const;

    // The status code of the answer (default 200); the reason phrase follows from it.
    void SetStatus(int code);
    // Waits this long after the request before answering.
    void SetDelay(std::chrono::milliseconds delay);
    // Reads the request, then never answers and keeps the connection open.
    void SetSilent(bool silent);
    // Reads the request, then closes the connection without an answer.
    void SetCloseAtOnce(bool close);
    // A body of this many bytes, announced by Content-Length (default 0). A
    // client that stops reading ends the sending.
    void SetBodySize(size_t bytes);
    // Back to the defaults of every knob.
    void Reset();

    size_t ConnectionCount() const;
    std::vector<HttpRequest> Requests() const;
    // True when at least count requests arrived within the time-out.
    bool WaitForRequests(size_t count, std::chrono::milliseconds timeout) const;
    // True when at least count connections were finished with (answered or
    // closed; held silent ones never are) within the time-out.
    bool WaitForFinished(size_t count, std::chrono::milliseconds timeout) const;
    // Body bytes that the last answered connection handed to the system before
    // it was finished with.
    size_t LastBodyBytesSent() const;

private:
    struct Knobs {
        int status = 200;
        std::chrono::milliseconds delay{0};
        bool silent = false;
        bool closeAtOnce = false;
        size_t bodySize = 0;
    };

    void Serve();
    void Handle(int connection);
    // The request head, or nullopt when the client went away or the responder stops.
    std::optional<std::string> ReadHead(int connection);
    // Body bytes sent; stops early when the client goes away or the responder stops.
    size_t Answer(int connection, const Knobs& knobs);
    // Waits until the socket is ready for events or the responder stops (false).
    bool WaitFor(int connection, short events);
    // False when the responder is stopping.
    bool Sleep(std::chrono::milliseconds duration);

    int m_listener = -1;
    int m_wakePipe[2] = {-1, -1};
    uint16_t m_port = 0;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    Knobs m_knobs;
    bool m_stopping = false;
    size_t m_connections = 0;
    size_t m_finished = 0;
    size_t m_lastBodyBytes = 0;
    std::vector<HttpRequest> m_requests;
    std::vector<int> m_held;  // silent connections, closed when the responder stops
    std::thread m_thread;
};
