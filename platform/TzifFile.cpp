#include "platform/TzifFile.h"

#include <algorithm>

#include "platform/SystemTime.h"

namespace {

constexpr std::size_t kHeaderSize = 44;

struct Counts {
    uint32_t isUt = 0, isStd = 0, leap = 0, time = 0, type = 0, chars = 0;
};

class ByteReader {
public:
    explicit ByteReader(std::span<const uint8_t> bytes) : m_bytes(bytes) {}
    bool Has(std::size_t n) const { return m_bytes.size() - m_pos >= n; }
    void Skip(std::size_t n) { m_pos += n; }
    uint8_t U8() { return m_bytes[m_pos++]; }
    uint32_t U32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v = (v << 8) | m_bytes[m_pos++];
        }
        return v;
    }
    int64_t I64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) {
            v = (v << 8) | m_bytes[m_pos++];
        }
        return static_cast<int64_t>(v);
    }
    std::span<const uint8_t> Rest() const { return m_bytes.subspan(m_pos); }

private:
    std::span<const uint8_t> m_bytes;
    std::size_t m_pos = 0;
};

std::optional<Counts> ReadHeader(ByteReader& in, int& version) {
    if (!in.Has(kHeaderSize)) {
        return std::nullopt;
    }
    if (in.U8() != 'T' || in.U8() != 'Z' || in.U8() != 'i' || in.U8() != 'f') {
        return std::nullopt;
    }
    const uint8_t v = in.U8();
    if (v == 0) {
        version = 1;
    } else if (v >= '2' && v <= '4') {
        version = v - '0';
    } else {
        return std::nullopt;
    }
    in.Skip(15);
    Counts c;
    c.isUt = in.U32();
    c.isStd = in.U32();
    c.leap = in.U32();
    c.time = in.U32();
    c.type = in.U32();
    c.chars = in.U32();
    // A zone needs at least one local time type and one designation byte.
    if (c.type == 0 || c.type > 256 || c.chars == 0 || (c.isUt != 0 && c.isUt != c.type) ||
        (c.isStd != 0 && c.isStd != c.type)) {
        return std::nullopt;
    }
    return c;
}

std::size_t BlockSize(const Counts& c, std::size_t timeSize) {
    return c.time * timeSize + c.time + c.type * 6 + c.chars + c.leap * (timeSize + 4) + c.isStd + c.isUt;
}

bool ReadBlock(ByteReader& in, const Counts& c, std::size_t timeSize, TzifData& out) {
    if (!in.Has(BlockSize(c, timeSize))) {
        return false;
    }
    out.transitionsUtc.clear();
    for (uint32_t i = 0; i < c.time; ++i) {
        const int64_t t = timeSize == 8 ? in.I64() : static_cast<int32_t>(in.U32());
        if (!out.transitionsUtc.empty() && t <= out.transitionsUtc.back()) {
            return false;
        }
        out.transitionsUtc.push_back(t);
    }
    out.transitionTypes.clear();
    for (uint32_t i = 0; i < c.time; ++i) {
        const uint8_t type = in.U8();
        if (type >= c.type) {
            return false;
        }
        out.transitionTypes.push_back(type);
    }
    std::vector<uint8_t> designationIndex;
    out.types.clear();
    for (uint32_t i = 0; i < c.type; ++i) {
        TzifLocalTimeType type;
        type.utOffsetSeconds = static_cast<int32_t>(in.U32());
        const uint8_t isDst = in.U8();
        const uint8_t index = in.U8();
        if (isDst > 1 || index >= c.chars || type.utOffsetSeconds == INT32_MIN) {
            return false;
        }
        type.isDst = isDst == 1;
        designationIndex.push_back(index);
        out.types.push_back(type);
    }
    const auto chars = in.Rest().first(c.chars);
    if (chars.back() != 0) {
        return false;
    }
    for (std::size_t i = 0; i < out.types.size(); ++i) {
        const auto* begin = reinterpret_cast<const char*>(chars.data()) + designationIndex[i];
        out.types[i].designation = begin;
    }
    in.Skip(c.chars);
    // Leap-second records and the indicators do not change what a zone's rule is.
    in.Skip(c.leap * (timeSize + 4) + c.isStd + c.isUt);
    return true;
}

class ByteWriter {
public:
    void U8(uint8_t v) { m_bytes.push_back(v); }
    void U32(uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            m_bytes.push_back(static_cast<uint8_t>(v >> shift));
        }
    }
    void I64(int64_t v) {
        const auto u = static_cast<uint64_t>(v);
        for (int shift = 56; shift >= 0; shift -= 8) {
            m_bytes.push_back(static_cast<uint8_t>(u >> shift));
        }
    }
    void Text(const std::string& s) { m_bytes.insert(m_bytes.end(), s.begin(), s.end()); }
    std::vector<uint8_t>& Bytes() { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};

struct Transition {
    int64_t utc;
    uint8_t type;  // index into the file's local time types
};

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

int64_t YearOf(int64_t utcSeconds) {
    int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(FloorDiv(utcSeconds, 86400), year, month, day);
    return year;
}

// Adds the changes of a rule after `after` and before `until` (from 1900 and
// no later than 2037), each only where the type really changes. `current` is the type in
// force at `after`, and is left at the type in force at the last change.
void AppendRuleTransitions(std::vector<Transition>& out, const PosixTz& tz, uint8_t stdType, uint8_t dstType,
                           int64_t after, int64_t until, uint8_t& current) {
    if (!tz.hasDst) {
        return;
    }
    const int64_t lastYear = std::min<int64_t>(2037, YearOf(until) + 1);
    for (int64_t year = std::max<int64_t>(1900, YearOf(after) - 1); year <= lastYear; ++year) {
        Transition pair[2] = {{RuleInstantUtc(tz.start, year, tz.stdUtOffsetSeconds), dstType},
                              {RuleInstantUtc(tz.end, year, tz.dstUtOffsetSeconds), stdType}};
        if (pair[1].utc < pair[0].utc) {
            std::swap(pair[0], pair[1]);
        }
        for (const Transition& t : pair) {
            const int64_t last = out.empty() ? after : std::max(after, out.back().utc);
            if (t.utc > last && t.utc < until && t.type != current) {
                out.push_back(t);
                current = t.type;
            }
        }
    }
}

// The index of a local time type, added when the file has none like it.
std::optional<uint8_t> TypeIndex(std::vector<TzifLocalTimeType>& types, const TzifLocalTimeType& type) {
    const auto found = std::find(types.begin(), types.end(), type);
    if (found != types.end()) {
        return static_cast<uint8_t>(found - types.begin());
    }
    if (types.size() >= 256) {
        return std::nullopt;
    }
    types.push_back(type);
    return static_cast<uint8_t>(types.size() - 1);
}

// The type the C library takes before the first transition: the first
// standard type, or the first of all when every type is daylight time.
uint8_t TypeBeforeFirstTransition(const std::vector<TzifLocalTimeType>& types) {
    for (std::size_t i = 0; i < types.size(); ++i) {
        if (!types[i].isDst) {
            return static_cast<uint8_t>(i);
        }
    }
    return 0;
}

// The transitions of a table that fit the 32-bit block. When earlier ones are
// dropped, the type they leave in force starts the block at its first second.
std::vector<Transition> NarrowTransitions(const std::vector<Transition>& transitions) {
    std::vector<Transition> out;
    for (const Transition& t : transitions) {
        if (t.utc < INT32_MIN) {
            if (out.empty()) {
                out.push_back({INT32_MIN, t.type});
            } else {
                out.back().type = t.type;
            }
        } else if (t.utc <= INT32_MAX) {
            if (!out.empty() && out.back().utc == t.utc) {
                out.back().type = t.type;
            } else {
                out.push_back(t);
            }
        }
    }
    return out;
}

void WriteBlock(ByteWriter& out, const std::vector<Transition>& transitions,
                const std::vector<TzifLocalTimeType>& types, const std::string& chars,
                const std::vector<uint8_t>& designationIndex, bool wide) {
    for (const Transition& t : transitions) {
        if (wide) {
            out.I64(t.utc);
        } else {
            out.U32(static_cast<uint32_t>(static_cast<int32_t>(t.utc)));
        }
    }
    for (const Transition& t : transitions) {
        out.U8(t.type);
    }
    for (std::size_t i = 0; i < types.size(); ++i) {
        out.U32(static_cast<uint32_t>(types[i].utOffsetSeconds));
        out.U8(types[i].isDst ? 1 : 0);
        out.U8(designationIndex[i]);
    }
    out.Text(chars);
}

void WriteHeader(ByteWriter& out, char version, std::size_t transitions, std::size_t types,
                 std::size_t chars) {
    out.Text("TZif");
    out.U8(static_cast<uint8_t>(version));
    for (int i = 0; i < 15; ++i) {
        out.U8(0);
    }
    for (std::size_t count : {std::size_t{0}, std::size_t{0}, std::size_t{0}, transitions, types, chars}) {
        out.U32(static_cast<uint32_t>(count));
    }
}

}  // namespace

std::optional<TzifData> ParseTzif(std::span<const uint8_t> bytes) {
    if (bytes.size() > kMaxTzifSize) {
        return std::nullopt;
    }
    ByteReader in(bytes);
    TzifData data;
    const auto v1 = ReadHeader(in, data.version);
    if (!v1 || !ReadBlock(in, *v1, 4, data)) {
        return std::nullopt;
    }
    if (data.version == 1) {
        return data;
    }
    int version2 = 0;
    const auto v2 = ReadHeader(in, version2);
    if (!v2 || version2 != data.version || !ReadBlock(in, *v2, 8, data)) {
        return std::nullopt;
    }
    const auto rest = in.Rest();
    if (rest.size() < 2 || rest.front() != '\n') {
        return std::nullopt;
    }
    const auto close = std::find(rest.begin() + 1, rest.end(), uint8_t{'\n'});
    if (close == rest.end()) {
        return std::nullopt;
    }
    data.footer.assign(rest.begin() + 1, close);
    return data;
}

std::optional<PosixTz> ZoneRuleOfTzif(const TzifData& data) {
    if (!data.footer.empty()) {
        return ParsePosixTz(data.footer);
    }
    const TzifLocalTimeType& type =
        data.transitionTypes.empty() ? data.types.front() : data.types[data.transitionTypes.back()];
    PosixTz tz;
    tz.stdName = type.designation;
    tz.stdUtOffsetSeconds = type.utOffsetSeconds;
    // A damaged file may hold a designation or an offset that no TZ string can
    // carry; such a zone is as unreadable as a footer that does not parse.
    return ParsePosixTz(FormatPosixTz(tz));
}

namespace {

// The designations of the types, each once, and where each type's begins;
// false when they do not fit the 256 bytes that a one-byte index reaches.
bool Designations(const std::vector<TzifLocalTimeType>& types, std::string& chars,
                  std::vector<uint8_t>& designationIndex) {
    for (const TzifLocalTimeType& type : types) {
        std::size_t at = chars.find(type.designation + '\0');
        if (at == std::string::npos) {
            at = chars.size();
            chars += type.designation + '\0';
        }
        if (at > 255) {
            return false;
        }
        designationIndex.push_back(static_cast<uint8_t>(at));
    }
    return true;
}

std::vector<uint8_t> WriteTzif(const std::vector<Transition>& transitions,
                               const std::vector<TzifLocalTimeType>& types, const PosixTz& tz) {
    std::string chars;
    std::vector<uint8_t> designationIndex;
    Designations(types, chars, designationIndex);
    const std::vector<Transition> narrow = NarrowTransitions(transitions);
    const char version = NeedsTzifVersion3(tz) ? '3' : '2';
    ByteWriter out;
    WriteHeader(out, version, narrow.size(), types.size(), chars.size());
    WriteBlock(out, narrow, types, chars, designationIndex, false);
    WriteHeader(out, version, transitions.size(), types.size(), chars.size());
    WriteBlock(out, transitions, types, chars, designationIndex, true);
    // Built piece by piece: GCC 12 at -O3 takes `"\n" + string` for an
    // overlapping copy (-Wrestrict, GCC bug 105651).
    std::string footer = "\n";
    footer += FormatPosixTz(tz);
    footer += '\n';
    out.Text(footer);
    return std::move(out.Bytes());
}

std::vector<TzifLocalTimeType> TypesOf(const PosixTz& tz) {
    std::vector<TzifLocalTimeType> types = {{tz.stdUtOffsetSeconds, false, tz.stdName}};
    if (tz.hasDst) {
        types.push_back({tz.dstUtOffsetSeconds, true, tz.dstName});
    }
    return types;
}

}  // namespace

std::vector<uint8_t> BuildTzif(const PosixTz& tz) {
    const std::vector<TzifLocalTimeType> types = TypesOf(tz);
    uint8_t current = IsDaylightAt(tz, 0) ? 1 : 0;
    std::vector<Transition> transitions = {{0, current}};
    AppendRuleTransitions(transitions, tz, 0, 1, 0, int64_t{INT32_MAX} + 1, current);
    return WriteTzif(transitions, types, tz);
}

TzifLocalTimeType TzifTypeAt(const TzifData& data, int64_t utcSeconds) {
    const auto& times = data.transitionsUtc;
    if (!times.empty() && utcSeconds >= times.back() && !data.footer.empty()) {
        if (const auto tz = ParsePosixTz(data.footer)) {
            const bool dst = IsDaylightAt(*tz, utcSeconds);
            return {dst ? tz->dstUtOffsetSeconds : tz->stdUtOffsetSeconds, dst,
                    dst ? tz->dstName : tz->stdName};
        }
    }
    const auto after = std::upper_bound(times.begin(), times.end(), utcSeconds);
    if (after == times.begin()) {
        return data.types[TypeBeforeFirstTransition(data.types)];
    }
    return data.types[data.transitionTypes[static_cast<std::size_t>(after - times.begin() - 1)]];
}

int64_t StartOfLocalYear(const TzifData& data, int64_t utcSeconds) {
    const int64_t year = YearOf(utcSeconds + TzifTypeAt(data, utcSeconds).utOffsetSeconds);
    const int64_t midnight = DaysFromCivil(year, 1, 1) * 86400;
    return midnight - TzifTypeAt(data, midnight).utOffsetSeconds;
}

std::vector<uint8_t> BuildTzifKeepingPast(const TzifData& past, const PosixTz& tz, int64_t nowUtcSeconds) {
    const int64_t cut = StartOfLocalYear(past, nowUtcSeconds);
    std::vector<TzifLocalTimeType> types = past.types;
    std::vector<Transition> transitions;
    for (std::size_t i = 0; i < past.transitionsUtc.size() && past.transitionsUtc[i] < cut; ++i) {
        transitions.push_back({past.transitionsUtc[i], past.transitionTypes[i]});
    }
    uint8_t current = transitions.empty() ? TypeBeforeFirstTransition(types) : transitions.back().type;
    // A file that leaves the later years to its rule string gets them written
    // out up to the cut, so that they do not change with the new rule.
    const auto pastRule = past.footer.empty() ? std::nullopt : ParsePosixTz(past.footer);
    if (pastRule && !transitions.empty() && transitions.size() == past.transitionsUtc.size()) {
        const std::vector<TzifLocalTimeType> ruleTypes = TypesOf(*pastRule);
        const auto stdType = TypeIndex(types, ruleTypes.front());
        const auto dstType = TypeIndex(types, ruleTypes.back());
        if (!stdType || !dstType) {
            return BuildTzif(tz);
        }
        AppendRuleTransitions(transitions, *pastRule, *stdType, *dstType, transitions.back().utc, cut,
                              current);
    }
    const std::vector<TzifLocalTimeType> ruleTypes = TypesOf(tz);
    const auto stdType = TypeIndex(types, ruleTypes.front());
    const auto dstType = TypeIndex(types, ruleTypes.back());
    std::string chars;
    std::vector<uint8_t> designationIndex;
    if (!stdType || !dstType || !Designations(types, chars, designationIndex)) {
        return BuildTzif(tz);
    }
    const uint8_t atCut = IsDaylightAt(tz, cut) ? *dstType : *stdType;
    if (atCut != current) {
        transitions.push_back({cut, atCut});
        current = atCut;
    }
    AppendRuleTransitions(transitions, tz, *stdType, *dstType, cut, int64_t{INT32_MAX} + 1, current);
    if (transitions.empty()) {
        // The C library reads the rule string only of files with transitions.
        transitions.push_back({cut, current});
    }
    return WriteTzif(transitions, types, tz);
}
