#include "tests/support/LocalHttpResponder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace {

constexpr size_t kMaxHeadBytes = 64 * 1024;

bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

HttpRequest ParseHead(std::string_view head) {
    HttpRequest request;
    size_t lineStart = 0;
    bool first = true;
    while (lineStart < head.size()) {
        size_t lineEnd = head.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) {
            lineEnd = head.size();
        }
        const std::string_view line = Trim(head.substr(lineStart, lineEnd - lineStart));
        lineStart = lineEnd + 1;
        if (first) {
            first = false;
            const size_t space1 = line.find(' ');
            const size_t space2 = line.find(' ', space1 == std::string_view::npos ? line.size() : space1 + 1);
            request.method = std::string(line.substr(0, space1));
            if (space1 != std::string_view::npos) {
                request.target = std::string(line.substr(space1 + 1, space2 - space1 - 1));
            }
            continue;
        }
        const size_t colon = line.find(':');
        if (colon != std::string_view::npos) {
            request.headers.emplace_back(std::string(Trim(line.substr(0, colon))),
                                         std::string(Trim(line.substr(colon + 1))));
        }
    }
    return request;
}

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 304:
            return "Not Modified";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

}  // namespace

std::optional<std::string> HttpRequest::Header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (EqualNoCase(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

LocalHttpResponder::LocalHttpResponder() {
    if (pipe2(m_wakePipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("LocalHttpResponder: pipe failed");
    }
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listener, 16) != 0 ||
        getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error(std::string("LocalHttpResponder: cannot listen: ") + std::strerror(errno));
    }
    m_port = ntohs(address.sin_port);
    m_thread = std::thread(&LocalHttpResponder::Serve, this);
}

LocalHttpResponder::~LocalHttpResponder() {
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    // Left unread, so that every later wait of the thread ends at once too.
    const char wake = 1;
    [[maybe_unused]] const ssize_t written = write(m_wakePipe[1], &wake, 1);
    if (m_thread.joinable()) {
        m_thread.join();
    }
    for (const int connection : m_held) {
        close(connection);
    }
    close(m_listener);
    close(m_wakePipe[0]);
    close(m_wakePipe[1]);
}

std::string LocalHttpResponder::Url(std::string_view target) const {
    return "http://" + std::string(kHost) + ":" + std::to_string(m_port) + std::string(target);
}

void LocalHttpResponder::Serve() {
    while (WaitFor(m_listener, POLLIN)) {
        const int connection = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) {
            continue;
        }
        {
            std::lock_guard lock(m_mutex);
            ++m_connections;
        }
        Handle(connection);
    }
}

void LocalHttpResponder::Handle(int connection) {
    const std::optional<std::string> head = ReadHead(connection);
    Knobs knobs;
    {
        std::lock_guard lock(m_mutex);
        knobs = m_knobs;
        if (head) {
            m_requests.push_back(ParseHead(*head));
        }
    }
    m_changed.notify_all();
    if (head && knobs.silent) {
        m_held.push_back(connection);
        return;
    }
    size_t bodyBytes = 0;
    if (head && !knobs.closeAtOnce && Sleep(knobs.delay)) {
        bodyBytes = Answer(connection, knobs);
    }
    close(connection);
    {
        std::lock_guard lock(m_mutex);
        ++m_finished;
        m_lastBodyBytes = bodyBytes;
    }
    m_changed.notify_all();
}

std::optional<std::string> LocalHttpResponder::ReadHead(int connection) {
    std::string head;
    while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos) {
        if (head.size() > kMaxHeadBytes || !WaitFor(connection, POLLIN)) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t received = recv(connection, buffer, sizeof buffer, 0);
        if (received <= 0) {
            return std::nullopt;
        }
        head.append(buffer, static_cast<size_t>(received));
    }
    return head;
}

size_t LocalHttpResponder::Answer(int connection, const Knobs& knobs) {
    const std::string statusLine =
        "HTTP/1.1 " + std::to_string(knobs.status) + " " + Reason(knobs.status) + "\r\n";
    // Answers that carry no body by definition announce none.
    const bool bodyless = knobs.status == 204 || knobs.status == 304 || knobs.status < 200;
    const std::string head = statusLine +
                             (bodyless ? "" : "Content-Length: " + std::to_string(knobs.bodySize) + "\r\n") +
                             "Connection: close\r\n\r\n";
    if (send(connection, head.data(), head.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(head.size())) {
        return 0;
    }
    if (bodyless) {
        return 0;
    }
    const std::string chunk(64 * 1024, 'x');
    size_t sent = 0;
    while (sent < knobs.bodySize && WaitFor(connection, POLLOUT)) {
        const size_t length = std::min(chunk.size(), knobs.bodySize - sent);
        const ssize_t written = send(connection, chunk.data(), length, MSG_NOSIGNAL);
        if (written <= 0) {
            break;
        }
        sent += static_cast<size_t>(written);
    }
    return sent;
}

bool LocalHttpResponder::WaitFor(int connection, short events) {
    for (;;) {
        pollfd entries[2] = {{connection, events, 0}, {m_wakePipe[0], POLLIN, 0}};
        if (poll(entries, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (entries[1].revents != 0) {
            return false;
        }
        // Errors and hang-ups count as ready: the next call on the socket reports them.
        return true;
    }
}

bool LocalHttpResponder::Sleep(std::chrono::milliseconds duration) {
    std::unique_lock lock(m_mutex);
    if (duration.count() > 0) {
        m_changed.wait_for(lock, duration, [this] { return m_stopping; });
    }
    return !m_stopping;
}

void LocalHttpResponder::SetStatus(int code) {
    std::lock_guard lock(m_mutex);
    m_knobs.status = code;
}

void LocalHttpResponder::SetDelay(std::chrono::milliseconds delay) {
    std::lock_guard lock(m_mutex);
    m_knobs.delay = delay;
}

void LocalHttpResponder::SetSilent(bool silent) {
    std::lock_guard lock(m_mutex);
    m_knobs.silent = silent;
}

void LocalHttpResponder::SetCloseAtOnce(bool close) {
    std::lock_guard lock(m_mutex);
    m_knobs.closeAtOnce = close;
}

void LocalHttpResponder::SetBodySize(size_t bytes) {
    std::lock_guard lock(m_mutex);
    m_knobs.bodySize = bytes;
}

void LocalHttpResponder::Reset() {
    std::lock_guard lock(m_mutex);
    m_knobs = Knobs{};
}

size_t LocalHttpResponder::ConnectionCount() const {
    std::lock_guard lock(m_mutex);
    return m_connections;
}

std::vector<HttpRequest> LocalHttpResponder::Requests() const {
    std::lock_guard lock(m_mutex);
    return m_requests;
}

bool LocalHttpResponder::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_requests.size() >= count; });
}

bool LocalHttpResponder::WaitForFinished(size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_finished >= count; });
}

size_t LocalHttpResponder::LastBodyBytesSent() const {
    std::lock_guard lock(m_mutex);
    return m_lastBodyBytes;
}
