#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The per-user store of named values in sections: integers, texts (UTF-8) and
// byte blocks. It lives in one file, <config folder>/<maker>/Tidewell.conf,
// which is only ever replaced whole (written beside it, then renamed over it,
// under a lock file), so a crash or a full disk leaves either the old file or
// the new one, never half of each.
//
// Trouble with the file is never reported to the user: a read that cannot find
// its value, or finds a value of another kind, gives the caller's default, and a
// write that fails returns false and changes nothing, neither on disk nor in
// what later reads see. Nothing here throws.
//
// A file that cannot be read whole (a damaged line, text that is not UTF-8, a
// value cut short) still yields every value that could be read; before the
// first write replaces it, it is kept beside it as
// Tidewell.conf.damaged-<UTC time>. So is a file that is not read at all: not a
// regular file (never opened, so a FIFO cannot block the reader), larger than
// a settings file ever is, or one we may not read. A leading UTF-8 byte-order
// mark is skipped.
//
// Safe to use from several threads at once: one mutex serialises every access.
// s without the blanks and tabs at either end, as the store reads names and values.
std::string_view TrimBlanks(std::string_view s);

class ProfileStore {
public:
    // The maker key the program registers before any access.
    static constexpr const char* kMakerKey = "Quorvane";
    static constexpr const char* kApplicationName = "Tidewell";

    // $XDG_CONFIG_HOME, or $HOME/.config when that is unset or not absolute.
    static std::string DefaultConfigFolder();

    // configFolder holds the maker's folder; nothing is touched until a read or write.
    explicit ProfileStore(std::string configFolder, std::string applicationName = kApplicationName);
    ~ProfileStore();
    ProfileStore(const ProfileStore&) = delete;
    ProfileStore& operator=(const ProfileStore&) = delete;

    // Names the maker's folder under the config folder. Until a maker is
    // registered, reads give their defaults and writes fail.
    void RegisterMakerKey(const std::string& maker);
    // <config folder>/<maker>/<application>.conf; empty before RegisterMakerKey.
    std::string FilePath() const;

    // True when no value at all can be read (no file, an empty file, or one
    // that yields nothing).
    bool IsEmpty() const;
    // True when anything stands at the file's path, whether or not it can be
    // read (also when we cannot even look). False before RegisterMakerKey.
    bool HasFile() const;
    // False when the file holds more than could be read: a damaged line, or a
    // file not read at all (not a regular file, too large, one we may not
    // read, a passing failure).
    bool IsReadWhole() const;

    // The stored integer, or defaultValue when it is absent or not an integer.
    int32_t ReadInt(const std::string& section, const std::string& entry, int32_t defaultValue) const;
    // The stored text, or defaultValue when it is absent or not a text.
    std::string ReadString(const std::string& section, const std::string& entry,
                           const std::string& defaultValue) const;
    // The stored bytes, or nothing when the value is absent or not a byte block.
    std::optional<std::vector<uint8_t>> ReadBinary(const std::string& section,
                                                   const std::string& entry) const;
    // Every entry name stored in a section, in file order.
    std::vector<std::string> EntryNames(const std::string& section) const;

    // Each of these is one atomic replacement of the file; true when it reached the disk.
    bool WriteInt(const std::string& section, const std::string& entry, int32_t value);
    bool WriteString(const std::string& section, const std::string& entry, const std::string& text);
    bool WriteBinary(const std::string& section, const std::string& entry, const uint8_t* bytes,
                     std::size_t length);

    // Changes collected and then written together as one atomic replacement of
    // the file: after Commit() either all of them are stored or none. Changes
    // not committed are dropped with the batch.
    class Batch {
    public:
        explicit Batch(ProfileStore& store);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

        void WriteInt(const std::string& section, const std::string& entry, int32_t value);
        void WriteString(const std::string& section, const std::string& entry, const std::string& text);
        void WriteBinary(const std::string& section, const std::string& entry, const uint8_t* bytes,
                         std::size_t length);
        // Replaces section `to` by a copy of section `from` as stored when the
        // batch is committed (changes made earlier in this batch included).
        void CopySection(const std::string& from, const std::string& to);

        // False when the file could not be replaced; nothing changes then. The
        // batch is empty afterwards either way.
        bool Commit();

    private:
        friend class ProfileStore;
        struct Change;
        ProfileStore& m_store;
        std::vector<Change> m_changes;
    };

    // Every later write fails as a full disk would, after the damaged-file copy
    // is made. For tests of what a failed write leaves behind.
    void FailWritesForTesting(bool fail);
    // Every later opening of the file for reading fails with this errno (0:
    // none), as for a file we may not read (EACCES) or a passing shortage (EMFILE).
    void FailOpensForTesting(int error);

private:
    struct Document;
    struct State;

    // With m_mutex held: the values as the file now holds them (read again
    // whenever the file has been replaced since the last look).
    const Document& CurrentLocked() const;
    bool CommitLocked(const std::vector<Batch::Change>& changes);

    const std::string m_configFolder;
    const std::string m_applicationName;
    mutable std::mutex m_mutex;
    std::string m_maker;
    bool m_failWrites = false;
    int m_failOpens = 0;
    mutable std::unique_ptr<State> m_state;
};
