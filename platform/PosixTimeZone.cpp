#include "platform/PosixTimeZone.h"

#include <cstdio>

#include "platform/SystemTime.h"

namespace {

bool IsAlpha(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsLeap(int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

class Cursor {
public:
    explicit Cursor(std::string_view text) : m_text(text) {}
    bool AtEnd() const { return m_pos == m_text.size(); }
    char Peek() const { return AtEnd() ? '\0' : m_text[m_pos]; }
    bool Take(char c) {
        if (Peek() != c) {
            return false;
        }
        ++m_pos;
        return true;
    }

    std::optional<std::string> Name() {
        const std::size_t begin = m_pos;
        if (Take('<')) {
            while (IsAlpha(Peek()) || IsDigit(Peek()) || Peek() == '+' || Peek() == '-') {
                ++m_pos;
            }
            std::string name(m_text.substr(begin + 1, m_pos - begin - 1));
            if (!Take('>') || name.size() < 3) {
                return std::nullopt;
            }
            return name;
        }
        while (IsAlpha(Peek())) {
            ++m_pos;
        }
        if (m_pos - begin < 3) {
            return std::nullopt;
        }
        return std::string(m_text.substr(begin, m_pos - begin));
    }

    // [+-]hh[:mm[:ss]] in seconds; hours up to maxHours.
    std::optional<int32_t> Duration(int maxHours) {
        int sign = 1;
        if (Take('-')) {
            sign = -1;
        } else {
            Take('+');
        }
        const auto hours = Number(3);
        if (!hours || *hours > maxHours) {
            return std::nullopt;
        }
        int32_t seconds = *hours * 3600;
        if (Take(':')) {
            const auto minutes = Number(2);
            if (!minutes || *minutes > 59) {
                return std::nullopt;
            }
            seconds += *minutes * 60;
            if (Take(':')) {
                const auto secs = Number(2);
                if (!secs || *secs > 59) {
                    return std::nullopt;
                }
                seconds += *secs;
            }
        }
        return sign * seconds;
    }

    std::optional<int> Number(std::size_t maxDigits) {
        const std::size_t begin = m_pos;
        int value = 0;
        while (IsDigit(Peek()) && m_pos - begin < maxDigits) {
            value = value * 10 + (m_text[m_pos] - '0');
            ++m_pos;
        }
        if (m_pos == begin || IsDigit(Peek())) {
            return std::nullopt;
        }
        return value;
    }

    std::optional<PosixTzRule> Rule() {
        PosixTzRule rule;
        if (Take('M')) {
            const auto month = Number(2);
            if (!month || *month < 1 || *month > 12 || !Take('.')) {
                return std::nullopt;
            }
            const auto week = Number(1);
            if (!week || *week < 1 || *week > 5 || !Take('.')) {
                return std::nullopt;
            }
            const auto weekday = Number(1);
            if (!weekday || *weekday > 6) {
                return std::nullopt;
            }
            rule.month = *month;
            rule.week = *week;
            rule.weekday = *weekday;
        } else if (Take('J')) {
            const auto day = Number(3);
            if (!day || *day < 1 || *day > 365) {
                return std::nullopt;
            }
            rule.kind = PosixTzRule::Kind::Julian;
            rule.day = *day;
        } else {
            const auto day = Number(3);
            if (!day || *day > 365) {
                return std::nullopt;
            }
            rule.kind = PosixTzRule::Kind::ZeroBasedDay;
            rule.day = *day;
        }
        if (Take('/')) {
            const auto time = Duration(167);
            if (!time) {
                return std::nullopt;
            }
            rule.timeSeconds = *time;
        }
        return rule;
    }

private:
    std::string_view m_text;
    std::size_t m_pos = 0;
};

std::string FormatName(const std::string& name) {
    for (char c : name) {
        if (!IsAlpha(c)) {
            return "<" + name + ">";
        }
    }
    return name;
}

std::string FormatDuration(int32_t seconds) {
    std::string out;
    if (seconds < 0) {
        out = "-";
        seconds = -seconds;
    }
    char buf[32];
    if (seconds % 60 != 0) {
        std::snprintf(buf, sizeof buf, "%d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
    } else if (seconds % 3600 != 0) {
        std::snprintf(buf, sizeof buf, "%d:%02d", seconds / 3600, seconds / 60 % 60);
    } else {
        std::snprintf(buf, sizeof buf, "%d", seconds / 3600);
    }
    return out + buf;
}

std::string FormatRule(const PosixTzRule& rule) {
    char buf[32];
    switch (rule.kind) {
        case PosixTzRule::Kind::MonthWeekDay:
            std::snprintf(buf, sizeof buf, "M%d.%d.%d", rule.month, rule.week, rule.weekday);
            break;
        case PosixTzRule::Kind::Julian:
            std::snprintf(buf, sizeof buf, "J%d", rule.day);
            break;
        case PosixTzRule::Kind::ZeroBasedDay:
            std::snprintf(buf, sizeof buf, "%d", rule.day);
            break;
    }
    std::string out = buf;
    if (rule.timeSeconds != 2 * 3600) {
        // Appended piece by piece: GCC 12 at -O3 takes `"/" + string` for an
        // overlapping copy (-Wrestrict, GCC bug 105651).
        out += '/';
        out += FormatDuration(rule.timeSeconds);
    }
    return out;
}

}  // namespace

bool IsValidDesignation(std::string_view name) {
    if (name.size() < 3) {
        return false;
    }
    for (char c : name) {
        if (!IsAlpha(c) && !IsDigit(c) && c != '+' && c != '-') {
            return false;
        }
    }
    return true;
}

std::optional<PosixTz> ParsePosixTz(std::string_view text) {
    Cursor in(text);
    PosixTz tz;
    auto name = in.Name();
    if (!name) {
        return std::nullopt;
    }
    tz.stdName = *name;
    // The TZ string counts offsets west of Greenwich as positive.
    const auto stdOffset = in.Duration(24);
    if (!stdOffset) {
        return std::nullopt;
    }
    tz.stdUtOffsetSeconds = -*stdOffset;
    if (in.AtEnd()) {
        return tz;
    }
    name = in.Name();
    if (!name) {
        return std::nullopt;
    }
    tz.hasDst = true;
    tz.dstName = *name;
    tz.dstUtOffsetSeconds = tz.stdUtOffsetSeconds + 3600;
    if (!in.AtEnd() && in.Peek() != ',') {
        const auto dstOffset = in.Duration(24);
        if (!dstOffset) {
            return std::nullopt;
        }
        tz.dstUtOffsetSeconds = -*dstOffset;
    }
    if (in.AtEnd()) {
        // No rules given: the C library falls back to the United States rules.
        tz.start = {PosixTzRule::Kind::MonthWeekDay, 3, 2, 0, 0, 7200};
        tz.end = {PosixTzRule::Kind::MonthWeekDay, 11, 1, 0, 0, 7200};
        return tz;
    }
    if (!in.Take(',')) {
        return std::nullopt;
    }
    const auto start = in.Rule();
    if (!start || !in.Take(',')) {
        return std::nullopt;
    }
    const auto end = in.Rule();
    if (!end || !in.AtEnd()) {
        return std::nullopt;
    }
    tz.start = *start;
    tz.end = *end;
    return tz;
}

std::string FormatPosixTz(const PosixTz& tz) {
    std::string out = FormatName(tz.stdName) + FormatDuration(-tz.stdUtOffsetSeconds);
    if (!tz.hasDst) {
        return out;
    }
    out += FormatName(tz.dstName);
    if (tz.dstUtOffsetSeconds != tz.stdUtOffsetSeconds + 3600) {
        out += FormatDuration(-tz.dstUtOffsetSeconds);
    }
    return out + "," + FormatRule(tz.start) + "," + FormatRule(tz.end);
}

bool NeedsTzifVersion3(const PosixTz& tz) {
    const auto outside = [](const PosixTzRule& r) { return r.timeSeconds < 0 || r.timeSeconds > 24 * 3600; };
    return tz.hasDst && (outside(tz.start) || outside(tz.end));
}

int64_t RuleLocalDay(const PosixTzRule& rule, int64_t year) {
    const int64_t newYear = DaysFromCivil(year, 1, 1);
    switch (rule.kind) {
        case PosixTzRule::Kind::Julian:
            return newYear + rule.day - 1 + (IsLeap(year) && rule.day >= 60 ? 1 : 0);
        case PosixTzRule::Kind::ZeroBasedDay:
            return newYear + rule.day;
        case PosixTzRule::Kind::MonthWeekDay:
            break;
    }
    const int64_t first = DaysFromCivil(year, static_cast<unsigned>(rule.month), 1);
    const int64_t firstWeekday = ((first % 7) + 11) % 7;  // 1970-01-01 was a Thursday
    int64_t day = first + (rule.weekday - firstWeekday + 7) % 7 + 7 * (rule.week - 1);
    const int64_t nextMonth = rule.month == 12
                                  ? DaysFromCivil(year + 1, 1, 1)
                                  : DaysFromCivil(year, static_cast<unsigned>(rule.month + 1), 1);
    while (day >= nextMonth) {
        day -= 7;
    }
    return day;
}

int64_t RuleInstantUtc(const PosixTzRule& rule, int64_t year, int32_t utOffsetBeforeSeconds) {
    return RuleLocalDay(rule, year) * 86400 + rule.timeSeconds - utOffsetBeforeSeconds;
}

bool IsDaylightAt(const PosixTz& tz, int64_t utcSeconds) {
    if (!tz.hasDst) {
        return false;
    }
    int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(FloorDiv(utcSeconds + tz.stdUtOffsetSeconds, 86400), year, month, day);
    const int64_t start = RuleInstantUtc(tz.start, year, tz.stdUtOffsetSeconds);
    const int64_t end = RuleInstantUtc(tz.end, year, tz.dstUtOffsetSeconds);
    if (start < end) {
        return start <= utcSeconds && utcSeconds < end;
    }
    return !(end <= utcSeconds && utcSeconds < start);
}
