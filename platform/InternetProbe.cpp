#include "platform/InternetProbe.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>
#include <utility>

namespace {

constexpr const char* kAgent = "Lanternet";

// libcurl's process-wide set-up must run once, before the first handle and
// never at the same time as any other libcurl call.
CURLcode InitCurlOnce() {
    static std::once_flag once;
    static CURLcode result = CURLE_FAILED_INIT;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result;
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// What the callbacks share with Open, on the calling thread only.
struct Transfer {
    CURL* easy = nullptr;
    long finalStatus = 0;  // set once the headers of a final (not 1xx) answer are complete
};

// The page itself is of no interest: the transfer is broken off as soon as the
// final answer's headers are in, by answering fewer bytes than were given,
// which libcurl reports as a write error that Open then counts as success.
size_t OnHeaderLine(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    const bool blankLine =
        (bytes == 2 && data[0] == '\r' && data[1] == '\n') || (bytes == 1 && data[0] == '\n');
    if (blankLine) {
        long status = 0;
        curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
        // An interim answer (100 Continue and the like) is followed by the real one.
        if (status >= 200) {
            transfer->finalStatus = status;
            return 0;
        }
    }
    return bytes;
}

size_t OnBody(char*, size_t, size_t, void*) {
    return 0;
}

ProbeResult Failed(ProbeOutcome outcome, std::string detail) {
    return ProbeResult{outcome, 0, std::move(detail)};
}

}  // namespace

CurlInternetProbe::CurlInternetProbe(std::string url, std::chrono::milliseconds timeout)
    : m_url(std::move(url)), m_timeout(timeout) {}

ProbeResult CurlInternetProbe::Open(std::stop_token stop) {
    if (stop.stop_requested()) {
        return Failed(ProbeOutcome::Cancelled, "stopped before the request");
    }
    if (const CURLcode code = InitCurlOnce(); code != CURLE_OK) {
        return Failed(ProbeOutcome::OpenFailed, curl_easy_strerror(code));
    }

    // Everything libcurl may still touch while a handle is cleaned up is
    // declared before the handles, so that it outlives them.
    Transfer transfer;
    char errorText[CURL_ERROR_SIZE] = {};
    std::unique_ptr<curl_slist, ListDeleter> headers(curl_slist_append(nullptr, "Cache-Control: no-cache"));
    if (headers) {
        curl_slist* const extended = curl_slist_append(headers.get(), "Pragma: no-cache");
        if (extended == nullptr) {
            headers.reset();
        }
    }
    std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!multi || !easy || !headers) {
        return Failed(ProbeOutcome::OpenFailed, "out of memory for the HTTP session");
    }
    transfer.easy = easy.get();
    const auto timeoutMs = static_cast<long>(m_timeout.count());
    CURL* const e = easy.get();
    const CURLcode setup[] = {
        curl_easy_setopt(e, CURLOPT_URL, m_url.c_str()),
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http"),
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L),
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L),
        curl_easy_setopt(e, CURLOPT_USERAGENT, kAgent),
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.get()),
        curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, timeoutMs),
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs),
        // Signals cannot be used for time-outs in a program with threads.
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L),
#if LIBCURL_VERSION_NUM >= 0x075700
        // A cancelled attempt must not wait for a name lookup still under way.
        curl_easy_setopt(e, CURLOPT_QUICK_EXIT, 1L),
#endif
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &OnHeaderLine),
        curl_easy_setopt(e, CURLOPT_HEADERDATA, &transfer),
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &OnBody),
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorText),
    };
    for (const CURLcode code : setup) {
        if (code != CURLE_OK) {
            return Failed(ProbeOutcome::OpenFailed, curl_easy_strerror(code));
        }
    }

    if (const CURLMcode code = curl_multi_add_handle(multi.get(), e); code != CURLM_OK) {
        return Failed(ProbeOutcome::OpenFailed, curl_multi_strerror(code));
    }
    struct Attachment {
        CURLM* multi;
        CURL* easy;
        ~Attachment() { curl_multi_remove_handle(multi, easy); }
    } attachment{multi.get(), e};

    // The multi interface, not the progress callback, carries the cancellation:
    // libcurl calls that callback only about once a second while the line is
    // quiet, but a wake-up ends the wait in the poll below at once.
    CURLM* const m = multi.get();
    const std::stop_callback wakeOnStop(stop, [m] { curl_multi_wakeup(m); });
    for (;;) {
        int running = 0;
        if (const CURLMcode code = curl_multi_perform(m, &running); code != CURLM_OK) {
            return Failed(ProbeOutcome::UrlFailed, curl_multi_strerror(code));
        }
        if (running == 0) {
            break;
        }
        if (stop.stop_requested()) {
            return Failed(ProbeOutcome::Cancelled, "stopped while waiting for the answer");
        }
        // libcurl shortens the wait to its own next deadline (the time-out).
        if (const CURLMcode code = curl_multi_poll(m, nullptr, 0, 1000, nullptr); code != CURLM_OK) {
            return Failed(ProbeOutcome::UrlFailed, curl_multi_strerror(code));
        }
        if (stop.stop_requested()) {
            return Failed(ProbeOutcome::Cancelled, "stopped while waiting for the answer");
        }
    }

    CURLcode result = CURLE_FAILED_INIT;
    int left = 0;
    while (const CURLMsg* message = curl_multi_info_read(m, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == e) {
            result = message->data.result;
        }
    }
    if (transfer.finalStatus != 0) {
        return ProbeResult{ProbeOutcome::Reached, transfer.finalStatus, {}};
    }
    if (result == CURLE_OK) {
        // Ended without a complete header block: not an HTTP answer.
        return Failed(ProbeOutcome::UrlFailed, "no HTTP answer");
    }
    return Failed(ProbeOutcome::UrlFailed, errorText[0] != '\0' ? errorText : curl_easy_strerror(result));
}
