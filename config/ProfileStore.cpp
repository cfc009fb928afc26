#include "config/ProfileStore.h"

#include <QDateTime>
#include <QLockFile>
#include <QSaveFile>
#include <QString>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <unordered_map>
#include <utility>
#include <variant>

// The file is an INI file whose values say their kind by their form, so that a
// hand-edited file reads the way it looks:
//
//   [Options]
//   nMaxDays=14                       integer: optional sign and decimal digits
//   sConnectStatus="Null"             text: in double quotes, C escapes \\ \" \n \r \t \xHH
//   TimeZoneInfo=hex:c4ffffff...      byte block: "hex:" and two hex digits per byte
//   sNote=any other words             text too, taken as it stands
//
// Lines starting with ';' or '#' are comments. Everything is UTF-8.

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

namespace {

using Value = std::variant<int32_t, std::string, std::vector<uint8_t>>;

struct Section {
    std::string name;
    std::vector<std::pair<std::string, Value>> entries;
    std::unordered_map<std::string, std::size_t> index;

    const Value* Find(const std::string& entry) const {
        const auto it = index.find(entry);
        return it == index.end() ? nullptr : &entries[it->second].second;
    }
    void Set(const std::string& entry, Value value) {
        const auto it = index.find(entry);
        if (it != index.end()) {
            entries[it->second].second = std::move(value);
            return;
        }
        index.emplace(entry, entries.size());
        entries.emplace_back(entry, std::move(value));
    }
};

// How the file looked when it was read: a replaced file has a new inode, a
// rewritten one a new time or size.
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t mtimeSeconds = 0;
    int64_t mtimeNanoseconds = 0;

    bool operator==(const FileStamp&) const = default;
};

FileStamp StampOf(const struct stat& st) {
    return {true, st.st_dev, st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return c - 'A' + 10;
}

constexpr char kHexDigits[] = "0123456789abcdef";

// Far more than the program ever stores (a server takes about 100 bytes); a
// larger file is not read at all, so that it cannot take the memory.
constexpr off_t kMaxFileBytes = 4 * 1024 * 1024;

// Keeps the file at path under the name copy before it is replaced: a second
// name for the same file, which reads nothing and so serves for any kind of
// file; a byte copy where the file system has no such names.
bool KeepAside(const std::string& path, const std::string& copy) {
    if (::linkat(AT_FDCWD, path.c_str(), AT_FDCWD, copy.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return true;
    }
    std::error_code error;
    return std::filesystem::copy_file(path, copy, error);
}

// Length of the well-formed UTF-8 sequence at text[pos], or 0 when there is none.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos) {
    const auto b0 = static_cast<unsigned char>(text[pos]);
    if (b0 < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        low = b0 == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = b0 == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        low = b0 == 0xF0 ? 0x90 : 0x80;
        high = b0 == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (pos + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto b = static_cast<unsigned char>(text[pos + i]);
        if (b < (i == 1 ? low : 0x80) || b > (i == 1 ? high : 0xBF)) {
            return 0;
        }
    }
    return length;
}

// True for UTF-8 text without control characters other than tab.
bool IsCleanLine(std::string_view line) {
    for (std::size_t pos = 0; pos < line.size();) {
        const auto c = static_cast<unsigned char>(line[pos]);
        if ((c < 0x20 && c != '\t') || c == 0x7F) {
            return false;
        }
        const std::size_t length = Utf8SequenceLength(line, pos);
        if (length == 0) {
            return false;
        }
        pos += length;
    }
    return true;
}

std::optional<Value> DecodeQuoted(std::string_view s) {
    std::string text;
    for (std::size_t i = 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') {
            if (i + 1 != s.size()) {
                return std::nullopt;
            }
            return Value(std::move(text));
        }
        if (c != '\\') {
            text += c;
            continue;
        }
        if (++i == s.size()) {
            return std::nullopt;
        }
        switch (s[i]) {
            case '\\':
                text += '\\';
                break;
            case '"':
                text += '"';
                break;
            case 'n':
                text += '\n';
                break;
            case 'r':
                text += '\r';
                break;
            case 't':
                text += '\t';
                break;
            case 'x':
                if (i + 2 >= s.size() || !IsHexDigit(s[i + 1]) || !IsHexDigit(s[i + 2])) {
                    return std::nullopt;
                }
                text += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
                i += 2;
                break;
            default:
                return std::nullopt;
        }
    }
    return std::nullopt;  // no closing quote: the value was cut short
}

std::optional<Value> DecodeValue(std::string_view s) {
    if (!s.empty() && s.front() == '"') {
        return DecodeQuoted(s);
    }
    if (s.starts_with("hex:")) {
        s.remove_prefix(4);
        if (s.size() % 2 != 0) {
            return std::nullopt;
        }
        std::vector<uint8_t> bytes;
        bytes.reserve(s.size() / 2);
        for (std::size_t i = 0; i < s.size(); i += 2) {
            if (!IsHexDigit(s[i]) || !IsHexDigit(s[i + 1])) {
                return std::nullopt;
            }
            bytes.push_back(static_cast<uint8_t>(HexValue(s[i]) * 16 + HexValue(s[i + 1])));
        }
        return Value(std::move(bytes));
    }
    // An integer takes the whole value. Like the 32-bit values it stands for, it
    // may be written unsigned: 4294967295 is -1.
    std::string_view digits = s;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string_view::npos) {
        int64_t number = 0;
        const char* first = s.data() + (s.front() == '+' ? 1 : 0);
        const auto [end, error] = std::from_chars(first, s.data() + s.size(), number);
        if (error == std::errc() && end == s.data() + s.size() &&
            number >= std::numeric_limits<int32_t>::min() && number <= std::numeric_limits<uint32_t>::max()) {
            return Value(static_cast<int32_t>(static_cast<uint32_t>(number)));
        }
    }
    return Value(std::string(s));
}

void AppendQuoted(std::string& out, const std::string& text) {
    out += '"';
    for (std::size_t pos = 0; pos < text.size();) {
        const char c = text[pos];
        const auto u = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                ++pos;
                continue;
            case '"':
                out += "\\\"";
                ++pos;
                continue;
            case '\n':
                out += "\\n";
                ++pos;
                continue;
            case '\r':
                out += "\\r";
                ++pos;
                continue;
            case '\t':
                out += "\\t";
                ++pos;
                continue;
            default:
                break;
        }
        // Bytes that are not well-formed UTF-8 are escaped too, so that any byte
        // string comes back unchanged and the file stays UTF-8.
        const std::size_t length = (u < 0x20 || u == 0x7F) ? 0 : Utf8SequenceLength(text, pos);
        if (length == 0) {
            out += "\\x";
            out += kHexDigits[u >> 4];
            out += kHexDigits[u & 0xF];
            ++pos;
        } else {
            out.append(text, pos, length);
            pos += length;
        }
    }
    out += '"';
}

void AppendValue(std::string& out, const Value& value) {
    if (const auto* number = std::get_if<int32_t>(&value)) {
        out += std::to_string(*number);
    } else if (const auto* text = std::get_if<std::string>(&value)) {
        AppendQuoted(out, *text);
    } else {
        out += "hex:";
        for (uint8_t b : std::get<std::vector<uint8_t>>(value)) {
            out += kHexDigits[b >> 4];
            out += kHexDigits[b & 0xF];
        }
    }
}

// Names are the program's own; refusing odd ones keeps every file readable back.
bool IsGoodName(std::string_view name, std::string_view forbidden) {
    return !name.empty() && TrimBlanks(name) == name && IsCleanLine(name) &&
           name.find_first_of(forbidden) == std::string_view::npos && name.front() != ';' &&
           name.front() != '#' && name.front() != '[';
}

}  // namespace

struct ProfileStore::Document {
    std::vector<Section> sections;
    std::unordered_map<std::string, std::size_t> sectionIndex;
    // Every line of the file was understood. False also for a file not read
    // at all: not a regular file, too large, or one we may not read.
    bool whole = true;
    // The file exists but could not be read for a passing reason (no file
    // descriptor left, an I/O error): it must not be replaced.
    bool unreadable = false;
    // The file was not read at all (not a regular file, too large, or we may
    // not read it): once kept aside, a fresh file takes its place, so that
    // none of its odd kind or mode is carried over.
    bool notRead = false;
    FileStamp stamp;

    const Section* FindSection(const std::string& name) const {
        const auto it = sectionIndex.find(name);
        return it == sectionIndex.end() ? nullptr : &sections[it->second];
    }
    Section& SectionNamed(const std::string& name) {
        const auto it = sectionIndex.find(name);
        if (it != sectionIndex.end()) {
            return sections[it->second];
        }
        sectionIndex.emplace(name, sections.size());
        sections.push_back(Section{name, {}, {}});
        return sections.back();
    }
    const Value* Find(const std::string& section, const std::string& entry) const {
        const Section* s = FindSection(section);
        return s ? s->Find(entry) : nullptr;
    }

    void Parse(std::string_view data) {
        // Editors that save UTF-8 with a byte-order mark put it before the first section.
        if (data.starts_with("\xEF\xBB\xBF")) {
            data.remove_prefix(3);
        }
        Section* current = nullptr;
        while (!data.empty()) {
            const std::size_t end = data.find('\n');
            std::string_view line = data.substr(0, end);
            data.remove_prefix(end == std::string_view::npos ? data.size() : end + 1);
            if (!line.empty() && line.back() == '\r') {
                line.remove_suffix(1);
            }
            if (!IsCleanLine(line)) {
                whole = false;
                continue;
            }
            line = TrimBlanks(line);
            if (line.empty() || line.front() == ';' || line.front() == '#') {
                continue;
            }
            if (line.front() == '[') {
                const std::string_view name =
                    line.back() == ']' ? TrimBlanks(line.substr(1, line.size() - 2)) : "";
                if (name.empty()) {
                    whole = false;
                    current = nullptr;
                } else {
                    current = &SectionNamed(std::string(name));
                }
                continue;
            }
            const std::size_t equals = line.find('=');
            const std::string_view key = TrimBlanks(line.substr(0, equals));
            std::optional<Value> value;
            if (equals != std::string_view::npos && !key.empty() && current) {
                value = DecodeValue(TrimBlanks(line.substr(equals + 1)));
            }
            if (!value) {
                whole = false;
                continue;
            }
            current->Set(std::string(key), std::move(*value));
        }
    }

    std::string Serialize() const {
        std::string out;
        for (const Section& s : sections) {
            if (s.entries.empty()) {
                continue;
            }
            if (!out.empty()) {
                out += '\n';
            }
            out += '[' + s.name + "]\n";
            for (const auto& [name, value] : s.entries) {
                out += name;
                out += '=';
                AppendValue(out, value);
                out += '\n';
            }
        }
        return out;
    }
};

struct ProfileStore::State {
    Document document;
    bool loaded = false;
    // The damaged file that has already been copied aside.
    std::optional<FileStamp> keptDamaged;
};

struct ProfileStore::Batch::Change {
    enum class Kind { Set, CopySection } kind;
    std::string section;
    std::string entry;  // the target section for CopySection
    Value value;
};

std::string ProfileStore::DefaultConfigFolder() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') {
        return xdg;
    }
    const char* home = std::getenv("HOME");
    return std::string(home ? home : "") + "/.config";
}

ProfileStore::ProfileStore(std::string configFolder, std::string applicationName)
    : m_configFolder(std::move(configFolder)),
      m_applicationName(std::move(applicationName)),
      m_state(std::make_unique<State>()) {}

ProfileStore::~ProfileStore() = default;

void ProfileStore::RegisterMakerKey(const std::string& maker) {
    std::lock_guard lock(m_mutex);
    m_maker = maker;
    m_state = std::make_unique<State>();
}

std::string ProfileStore::FilePath() const {
    std::lock_guard lock(m_mutex);
    if (m_maker.empty()) {
        return {};
    }
    return m_configFolder + "/" + m_maker + "/" + m_applicationName + ".conf";
}

void ProfileStore::FailWritesForTesting(bool fail) {
    std::lock_guard lock(m_mutex);
    m_failWrites = fail;
}

void ProfileStore::FailOpensForTesting(int error) {
    std::lock_guard lock(m_mutex);
    m_failOpens = error;
    m_state->loaded = false;
}

const ProfileStore::Document& ProfileStore::CurrentLocked() const {
    State& state = *m_state;
    if (m_maker.empty()) {
        state.document = Document{};
        return state.document;
    }
    const std::string path = m_configFolder + "/" + m_maker + "/" + m_applicationName + ".conf";
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        // No file: nothing stored. Any other failure: we cannot tell what is there.
        const int statError = errno;
        state.document = Document{};
        state.document.unreadable = statError != ENOENT && statError != ENOTDIR;
        state.loaded = false;
        return state.document;
    }
    if (state.loaded && state.document.stamp == StampOf(st)) {
        return state.document;
    }
    // Anything but a regular file of a sensible size is damaged and not
    // opened: a FIFO would block the reader, a device may do anything.
    Document document;
    document.stamp = StampOf(st);
    const bool readable = S_ISREG(st.st_mode) && st.st_size <= kMaxFileBytes;
    const int fd = readable ? ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
    const int openError = errno;
    std::string data;
    bool ok = readable && fd >= 0;
    bool damaged = !readable || (fd < 0 && (openError == EACCES || openError == EPERM));
    if (ok && m_failOpens != 0) {
        ok = false;
        damaged = m_failOpens == EACCES || m_failOpens == EPERM;
    }
    // The file may have been replaced since the stat: what was opened counts.
    if (ok && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ok = false;
        damaged = true;
    }
    if (ok) {
        document.stamp = StampOf(st);
    }
    while (ok) {
        char buffer[65536];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n >= 0;
        if (n <= 0) {
            break;
        }
        data.append(buffer, static_cast<std::size_t>(n));
        if (data.size() > static_cast<std::size_t>(kMaxFileBytes)) {
            ok = false;
            damaged = true;
        }
    }
    if (fd >= 0) {
        ::close(fd);
    }
    if (ok) {
        document.Parse(data);
    } else if (damaged) {
        document.whole = false;
        document.notRead = true;
    } else {
        document = Document{};
        document.unreadable = true;
    }
    state.document = std::move(document);
    state.loaded = ok || damaged;
    return state.document;
}

bool ProfileStore::HasFile() const {
    std::lock_guard lock(m_mutex);
    if (m_maker.empty()) {
        return false;
    }
    const std::string path = m_configFolder + "/" + m_maker + "/" + m_applicationName + ".conf";
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        return true;
    }
    // Only a path that is certainly free is free: a folder we may not search may hold the file.
    return errno != ENOENT && errno != ENOTDIR;
}

bool ProfileStore::IsReadWhole() const {
    std::lock_guard lock(m_mutex);
    const Document& document = CurrentLocked();
    return document.whole && !document.unreadable;
}

bool ProfileStore::IsEmpty() const {
    std::lock_guard lock(m_mutex);
    for (const Section& s : CurrentLocked().sections) {
        if (!s.entries.empty()) {
            return false;
        }
    }
    return true;
}

int32_t ProfileStore::ReadInt(const std::string& section, const std::string& entry,
                              int32_t defaultValue) const {
    std::lock_guard lock(m_mutex);
    const Value* value = CurrentLocked().Find(section, entry);
    const auto* number = value ? std::get_if<int32_t>(value) : nullptr;
    return number ? *number : defaultValue;
}

std::string ProfileStore::ReadString(const std::string& section, const std::string& entry,
                                     const std::string& defaultValue) const {
    std::lock_guard lock(m_mutex);
    const Value* value = CurrentLocked().Find(section, entry);
    const auto* text = value ? std::get_if<std::string>(value) : nullptr;
    return text ? *text : defaultValue;
}

std::optional<std::vector<uint8_t>> ProfileStore::ReadBinary(const std::string& section,
                                                             const std::string& entry) const {
    std::lock_guard lock(m_mutex);
    const Value* value = CurrentLocked().Find(section, entry);
    const auto* bytes = value ? std::get_if<std::vector<uint8_t>>(value) : nullptr;
    if (!bytes) {
        return std::nullopt;
    }
    return *bytes;
}

std::vector<std::string> ProfileStore::EntryNames(const std::string& section) const {
    std::lock_guard lock(m_mutex);
    std::vector<std::string> names;
    if (const Section* s = CurrentLocked().FindSection(section)) {
        for (const auto& entry : s->entries) {
            names.push_back(entry.first);
        }
    }
    return names;
}

bool ProfileStore::WriteInt(const std::string& section, const std::string& entry, int32_t value) {
    Batch batch(*this);
    batch.WriteInt(section, entry, value);
    return batch.Commit();
}

bool ProfileStore::WriteString(const std::string& section, const std::string& entry,
                               const std::string& text) {
    Batch batch(*this);
    batch.WriteString(section, entry, text);
    return batch.Commit();
}

bool ProfileStore::WriteBinary(const std::string& section, const std::string& entry, const uint8_t* bytes,
                               std::size_t length) {
    Batch batch(*this);
    batch.WriteBinary(section, entry, bytes, length);
    return batch.Commit();
}

bool ProfileStore::CommitLocked(const std::vector<Batch::Change>& changes) {
    if (m_maker.empty()) {
        return false;
    }
    const std::string folder = m_configFolder + "/" + m_maker;
    const std::string path = folder + "/" + m_applicationName + ".conf";
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        return false;
    }
    // Keeps another copy of the program from replacing the file between our
    // reading it and our replacing it. A lock left by a dead process is taken over.
    QLockFile fileLock(QString::fromStdString(path + ".lock"));
    if (!fileLock.tryLock(5000)) {
        return false;
    }

    const Document& current = CurrentLocked();
    if (current.unreadable) {
        return false;
    }
    if (!current.whole && m_state->keptDamaged != current.stamp) {
        const std::string stamp =
            QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd'T'HHmmss'Z'")).toStdString();
        std::string copy = path + ".damaged-" + stamp;
        for (int n = 2; std::filesystem::exists(copy, error); ++n) {
            copy = path + ".damaged-" + stamp + "-" + std::to_string(n);
        }
        if (!KeepAside(path, copy)) {
            return false;
        }
        m_state->keptDamaged = current.stamp;
        // A file we may not read is also one the atomic save refuses to
        // replace, or whose mode it would pass on: it is made ours alone (the
        // copy too, being the same file), or else, the copy holding it, removed.
        if (current.notRead &&
            ::fchmodat(AT_FDCWD, path.c_str(), S_IRUSR | S_IWUSR, AT_SYMLINK_NOFOLLOW) != 0) {
            ::unlink(path.c_str());
        }
    }

    Document next = current;
    for (const Batch::Change& change : changes) {
        if (!IsGoodName(change.section, "[]")) {
            return false;
        }
        if (change.kind == Batch::Change::Kind::CopySection) {
            if (!IsGoodName(change.entry, "[]")) {
                return false;
            }
            const Section* from = next.FindSection(change.section);
            Section copy{change.entry, from ? from->entries : decltype(Section::entries){}, {}};
            for (std::size_t i = 0; i < copy.entries.size(); ++i) {
                copy.index.emplace(copy.entries[i].first, i);
            }
            next.SectionNamed(change.entry) = std::move(copy);
            continue;
        }
        if (!IsGoodName(change.entry, "=")) {
            return false;
        }
        next.SectionNamed(change.section).Set(change.entry, change.value);
    }

    const std::string data = next.Serialize();
    // Unbuffered, and flushed by hand: QSaveFile::commit() does not notice a
    // buffered tail that fails to reach the disk, and would put a cut-short
    // file in place of the whole one.
    struct stat before {};
    const bool fresh = ::lstat(path.c_str(), &before) != 0 && errno == ENOENT;
    QSaveFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        return false;
    }
    // A new file is the user's alone; an existing one keeps its mode.
    if (fresh && !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        file.cancelWriting();
        return false;
    }
    if (m_failWrites ||
        file.write(data.data(), static_cast<qint64>(data.size())) != static_cast<qint64>(data.size()) ||
        !file.flush() || file.error() != QFileDevice::NoError) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit()) {
        return false;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        m_state->loaded = false;
        return true;
    }
    next.whole = true;
    next.stamp = StampOf(st);
    m_state->document = std::move(next);
    m_state->loaded = true;
    return true;
}

ProfileStore::Batch::Batch(ProfileStore& store) : m_store(store) {}

ProfileStore::Batch::~Batch() = default;

void ProfileStore::Batch::WriteInt(const std::string& section, const std::string& entry, int32_t value) {
    m_changes.push_back({Change::Kind::Set, section, entry, Value(value)});
}

void ProfileStore::Batch::WriteString(const std::string& section, const std::string& entry,
                                      const std::string& text) {
    m_changes.push_back({Change::Kind::Set, section, entry, Value(text)});
}

void ProfileStore::Batch::WriteBinary(const std::string& section, const std::string& entry,
                                      const uint8_t* bytes, std::size_t length) {
    m_changes.push_back({Change::Kind::Set, section, entry,
                         Value(std::vector<uint8_t>(bytes, bytes + (bytes ? length : 0)))});
}

void ProfileStore::Batch::CopySection(const std::string& from, const std::string& to) {
    m_changes.push_back({Change::Kind::CopySection, from, to, Value()});
}

bool ProfileStore::Batch::Commit() {
    std::vector<Change> changes;
    changes.swap(m_changes);
    std::lock_guard lock(m_store.m_mutex);
    return m_store.CommitLocked(changes);
}
