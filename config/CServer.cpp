#include "config/CServer.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <utility>

namespace {

// printf's %5.3f and %5.3g without the locale: the stored form must read back
// the same whatever LC_NUMERIC the user interface has set.
std::string FormatDouble(double value, std::chars_format format, int precision, std::size_t width) {
    char buffer[400];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, format, precision);
    std::string text = error == std::errc() ? std::string(buffer, end) : std::string("nan");
    if (text.size() < width) {
        text.insert(0, width - text.size(), ' ');
    }
    return text;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads the stored form step by step. Once a step fails or the text has ended,
// every later step fails.
class EntryReader {
public:
    explicit EntryReader(std::string_view text) : m_text(text.substr(0, kMaxText)) {}

    bool Line(std::string& out) {
        if (m_failed) {
            return false;
        }
        const std::size_t start = m_pos;
        while (m_pos < m_text.size() && m_text[m_pos] != '\n' && m_pos - start < kMaxLine) {
            ++m_pos;
        }
        out.assign(m_text.substr(start, m_pos - start));
        if (m_pos < m_text.size() && m_text[m_pos] == '\n') {
            ++m_pos;
            return true;
        }
        // The text ended, or the line is longer than a line may be.
        m_failed = true;
        return true;
    }

    bool Integer(int32_t& out) {
        SkipSpace();
        const std::size_t start = m_pos;
        if (m_pos < m_text.size() && (m_text[m_pos] == '+' || m_text[m_pos] == '-')) {
            ++m_pos;
        }
        const std::size_t digits = m_pos;
        while (m_pos < m_text.size() && IsDigit(m_text[m_pos])) {
            ++m_pos;
        }
        if (m_failed || m_pos == digits) {
            m_failed = true;
            return false;
        }
        // from_chars takes no '+'.
        const char* first = m_text.data() + start + (m_text[start] == '+' ? 1 : 0);
        int32_t value = 0;
        const auto [end, error] = std::from_chars(first, m_text.data() + m_pos, value);
        if (error != std::errc() || end != m_text.data() + m_pos) {
            m_failed = true;  // does not fit in 32 bits
            return false;
        }
        out = value;
        return true;
    }

    bool Double(double& out) {
        SkipSpace();
        const std::size_t start = m_pos;
        if (m_pos < m_text.size() && (m_text[m_pos] == '+' || m_text[m_pos] == '-')) {
            ++m_pos;
        }
        std::size_t mantissaDigits = 0;
        for (; m_pos < m_text.size() && IsDigit(m_text[m_pos]); ++m_pos) {
            ++mantissaDigits;
        }
        if (m_pos < m_text.size() && m_text[m_pos] == '.') {
            for (++m_pos; m_pos < m_text.size() && IsDigit(m_text[m_pos]); ++m_pos) {
                ++mantissaDigits;
            }
        }
        if (m_failed || mantissaDigits == 0) {
            m_failed = true;
            return false;
        }
        if (m_pos < m_text.size() && (m_text[m_pos] == 'e' || m_text[m_pos] == 'E')) {
            std::size_t p = m_pos + 1;
            if (p < m_text.size() && (m_text[p] == '+' || m_text[p] == '-')) {
                ++p;
            }
            if (p < m_text.size() && IsDigit(m_text[p])) {
                while (p < m_text.size() && IsDigit(m_text[p])) {
                    ++p;
                }
                m_pos = p;
            }
        }
        const char* first = m_text.data() + start + (m_text[start] == '+' ? 1 : 0);
        double value = 0.0;
        const auto [end, error] = std::from_chars(first, m_text.data() + m_pos, value);
        if (error != std::errc() || end != m_text.data() + m_pos) {
            m_failed = true;  // beyond the range of a double
            return false;
        }
        out = value;
        return true;
    }

private:
    static constexpr std::size_t kMaxText = 1024;
    static constexpr std::size_t kMaxLine = 1023;

    void SkipSpace() {
        while (m_pos < m_text.size() && IsSpace(m_text[m_pos])) {
            ++m_pos;
        }
        if (m_pos == m_text.size()) {
            m_failed = true;
        }
    }

    std::string_view m_text;
    std::size_t m_pos = 0;
    bool m_failed = false;
};

}  // namespace

CServer::CServer(std::string title, std::string host, int32_t kind)
    : title(std::move(title)), host(std::move(host)), kind(kind) {}

std::string CServer::ToString() const {
    // A line feed inside a field would shift every later field by one line when
    // read back; it is stored as a blank instead.
    auto oneLine = [](std::string text) {
        std::replace(text.begin(), text.end(), '\n', ' ');
        return text;
    };
    return oneLine(title) + '\n' + oneLine(host) + '\n' + std::to_string(kind) + ' ' +
           FormatDouble(delay, std::chars_format::fixed, 3, 5);
}

void CServer::FromString(const std::string& text) {
    title.clear();
    host.clear();
    kind = 0;
    delay = 0.0;
    EntryReader reader(text);
    if (reader.Line(title) && reader.Line(host) && reader.Integer(kind)) {
        reader.Double(delay);
    }
}

std::string CServer::KindText() const {
    return kind == 0 ? "Prog" : "User";
}

std::string CServer::DelayText() const {
    if (delay == 0.0) {
        return "Null";
    }
    return FormatDouble(delay, std::chars_format::general, 3, 5);
}
