#include "core/NameLookup.h"

#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/LastError.h"

namespace {

// Shared by the waiting caller and the lookup's thread, whichever ends last.
struct PendingLookup {
    std::mutex mutex;
    std::condition_variable_any answered;
    bool done = false;
    NameLookupAnswer answer;
};

}  // namespace

uint32_t LookupErrorCode(int lookupResult, int savedErrno) {
    switch (lookupResult) {
        case EAI_NONAME:
        case EAI_NODATA:
        case EAI_ADDRFAMILY:
            return kErrorHostNotFound;
        case EAI_AGAIN:
            return kErrorTryAgain;
        case EAI_MEMORY:
            return ENOMEM;
        case EAI_SYSTEM:
            return savedErrno != 0 ? static_cast<uint32_t>(savedErrno) : kErrorNoRecovery;
        default:
            return kErrorNoRecovery;
    }
}

NameLookupAnswer SystemNameLookup(const std::string& name) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    errno = 0;
    const int result = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (result != 0) {
        return {LookupErrorCode(result, errno), {}};
    }
    NameLookupAnswer answer;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        char text[NI_MAXHOST] = {};
        if (getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0, NI_NUMERICHOST) ==
            0) {
            answer.addresses.emplace_back(text);
        }
    }
    freeaddrinfo(found);
    if (answer.addresses.empty()) {
        answer.error = kErrorHostNotFound;
    }
    return answer;
}

NameLookupAnswer LookUpBefore(const NameLookup& lookup, const std::string& name,
                              std::chrono::steady_clock::time_point deadline, std::stop_token stop) {
    if (stop.stop_requested()) {
        return {ECANCELED, {}};
    }
    auto pending = std::make_shared<PendingLookup>();
    try {
        std::thread([pending, lookup, name] {
            NameLookupAnswer answer = lookup(name);
            {
                std::lock_guard lock(pending->mutex);
                pending->answer = std::move(answer);
                pending->done = true;
            }
            pending->answered.notify_all();
        }).detach();
    } catch (const std::system_error& error) {
        return {static_cast<uint32_t>(error.code().value()), {}};
    }
    std::unique_lock lock(pending->mutex);
    if (pending->answered.wait_until(lock, stop, deadline, [&] { return pending->done; })) {
        return std::move(pending->answer);
    }
    return {stop.stop_requested() ? static_cast<uint32_t>(ECANCELED) : kErrorTryAgain, {}};
}
