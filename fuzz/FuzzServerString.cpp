// A stored server entry as the settings file may hold it, through
// CServer::FromString and back through ToString.

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/CServer.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    CServer server;
    server.FromString(std::string(reinterpret_cast<const char*>(data), size));
    FUZZ_CHECK(server.title.size() <= 1023 && server.host.size() <= 1023);
    FUZZ_CHECK(server.title.find('\n') == std::string::npos && server.host.find('\n') == std::string::npos);
    (void)server.KindText();
    (void)server.DelayText();

    // What is saved must read back as it was, the delay to its three stored
    // decimals, as long as the stored form fits in what is read of it.
    const std::string stored = server.ToString();
    if (stored.size() > 1024) {
        return 0;
    }
    CServer again;
    again.FromString(stored);
    FUZZ_CHECK(again.title == server.title);
    FUZZ_CHECK(again.host == server.host);
    FUZZ_CHECK(again.kind == server.kind);
    FUZZ_CHECK(again.ToString() == stored);
    return 0;
}
