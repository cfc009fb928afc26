#include "platform/TimeZoneInformation.h"

namespace {

class Writer {
public:
    explicit Writer(std::vector<uint8_t>& out) : m_out(out) {}
    void U16(uint16_t v) {
        m_out.push_back(static_cast<uint8_t>(v));
        m_out.push_back(static_cast<uint8_t>(v >> 8));
    }
    void I32(int32_t v) {
        const auto u = static_cast<uint32_t>(v);
        U16(static_cast<uint16_t>(u));
        U16(static_cast<uint16_t>(u >> 16));
    }
    void Name(const std::array<char16_t, 32>& name) {
        for (char16_t c : name) {
            U16(static_cast<uint16_t>(c));
        }
    }
    void Time(const SYSTEMTIME& st) {
        for (uint16_t v : {st.wYear, st.wMonth, st.wDayOfWeek, st.wDay, st.wHour, st.wMinute, st.wSecond,
                           st.wMilliseconds}) {
            U16(v);
        }
    }

private:
    std::vector<uint8_t>& m_out;
};

class Reader {
public:
    explicit Reader(const std::vector<uint8_t>& in) : m_in(in) {}
    uint16_t U16() {
        const auto v = static_cast<uint16_t>(m_in[m_pos] | (m_in[m_pos + 1] << 8));
        m_pos += 2;
        return v;
    }
    int32_t I32() {
        const uint32_t lo = U16();
        const uint32_t hi = U16();
        return static_cast<int32_t>(lo | (hi << 16));
    }
    void Name(std::array<char16_t, 32>& name) {
        for (char16_t& c : name) {
            c = static_cast<char16_t>(U16());
        }
    }
    void Time(SYSTEMTIME& st) {
        for (uint16_t* v : {&st.wYear, &st.wMonth, &st.wDayOfWeek, &st.wDay, &st.wHour, &st.wMinute,
                            &st.wSecond, &st.wMilliseconds}) {
            *v = U16();
        }
    }

private:
    const std::vector<uint8_t>& m_in;
    std::size_t m_pos = 0;
};

}  // namespace

std::vector<uint8_t> EncodeTimeZoneInformation(const TIME_ZONE_INFORMATION& tzi) {
    std::vector<uint8_t> out;
    out.reserve(kTimeZoneInformationSize);
    Writer w(out);
    w.I32(tzi.Bias);
    w.Name(tzi.StandardName);
    w.Time(tzi.StandardDate);
    w.I32(tzi.StandardBias);
    w.Name(tzi.DaylightName);
    w.Time(tzi.DaylightDate);
    w.I32(tzi.DaylightBias);
    return out;
}

std::optional<TIME_ZONE_INFORMATION> DecodeTimeZoneInformation(const std::vector<uint8_t>& bytes) {
    if (bytes.size() != kTimeZoneInformationSize) {
        return std::nullopt;
    }
    TIME_ZONE_INFORMATION tzi;
    Reader r(bytes);
    tzi.Bias = r.I32();
    r.Name(tzi.StandardName);
    r.Time(tzi.StandardDate);
    tzi.StandardBias = r.I32();
    r.Name(tzi.DaylightName);
    r.Time(tzi.DaylightDate);
    tzi.DaylightBias = r.I32();
    return tzi;
}
