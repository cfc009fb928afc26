#pragma once

#include <array>
#include <cstddef>
#include <string>

// The twelve abbreviated month names of a locale, in UTF-8, read once. Every
// text of the program that names a month takes the name from here.
class MonthAbbrevTable {
public:
    // A name holds at most this many bytes (cut at a character boundary).
    static constexpr std::size_t kMaxNameBytes = 31;

    // The user's locale for dates (LC_ALL, else LC_TIME, else LANG).
    MonthAbbrevTable();
    // A named locale, such as "de_DE.UTF-8" or "C". A locale that cannot be
    // loaded gives the C locale's names, as the C library does for a program
    // whose locale is not installed; a name the locale lacks stays empty.
    explicit MonthAbbrevTable(const std::string& localeName);

    // The name of month 1..12; empty for any other number.
    const std::string& Name(int month) const;

private:
    std::array<std::string, 12> m_names;
};
