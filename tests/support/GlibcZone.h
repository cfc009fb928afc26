#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

// The C library's reading of a zone file: TZ set to the file while it lives.
class GlibcZone {
public:
    explicit GlibcZone(const std::string& path) {
        if (const char* old = std::getenv("TZ")) {
            m_old = old;
        }
        setenv("TZ", (":" + path).c_str(), 1);
        tzset();
    }
    ~GlibcZone() {
        if (m_old) {
            setenv("TZ", m_old->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    GlibcZone(const GlibcZone&) = delete;
    GlibcZone& operator=(const GlibcZone&) = delete;

    struct Local {
        long utOffsetSeconds;
        bool isDst;
        std::string designation;
    };
    Local At(int64_t utc) const {
        const time_t t = static_cast<time_t>(utc);
        struct tm tm {};
        localtime_r(&t, &tm);
        return {tm.tm_gmtoff, tm.tm_isdst > 0, tm.tm_zone ? tm.tm_zone : ""};
    }

private:
    std::optional<std::string> m_old;
};
