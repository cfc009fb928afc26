#pragma once

#include <cstdint>
#include <string>

// One time server. Its port is always the SNTP port 123.
class CServer {
public:
    CServer() = default;
    // A new record has never been measured: delay 0.0.
    CServer(std::string title, std::string host, int32_t kind);
    CServer(const CServer&) = default;
    CServer& operator=(const CServer&) = default;
    virtual ~CServer() = default;

    // The stored form, "%s\n%s\n%d %5.3f": title, host, kind, delay. The decimal
    // separator is always a full stop, whatever the user's locale; a line feed
    // within the title or host is stored as a blank.
    std::string ToString() const;
    // Reads a stored form back. Title, host, kind and delay start empty, empty, 0
    // and 0.0; a field that cannot be read keeps that value, and so does every
    // field after it. At most the first 1024 bytes are looked at, and a title or
    // host line holds at most 1023.
    void FromString(const std::string& text);

    // "Prog" for a server of the program's own table (kind 0), "User" otherwise.
    std::string KindText() const;
    // "Null" when never measured, otherwise the delay as "%5.3g".
    std::string DelayText() const;

    bool operator==(const CServer&) const = default;

    std::string title;
    // DNS name, dotted IPv4 address or IPv6 address (bare or in brackets).
    std::string host;
    // 0: from the program's table; anything else: added by the user.
    int32_t kind = 0;
    // Last measured network delay, seconds; 0.0 when never measured or the last test failed.
    double delay = 0.0;
};
