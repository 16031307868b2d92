#include "adapters/curl/CurlHttpClient.h"

#include <curl/curl.h>
#ifdef ZANDORIN_HAVE_LIBSSH2
#include <libssh2.h>
#endif

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <limits>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zandorin::adapters {
namespace {

using namespace std::chrono_literals;
using platform::HttpRequest;
using platform::HttpResponse;
using platform::HttpResult;
using platform::TransferError;

// Enough for every background task to hold one warm handle; more callers at once get a
// throw-away handle rather than waiting outside their own time-out.
constexpr std::size_t kIdleHandles = 8;
constexpr std::chrono::milliseconds kConnectTimeout = 10s;
// The longest curl waits on the network before it looks at its timers again.
constexpr int kPollInterval = 1000;
constexpr const char* kStopped = "the application is quitting";

// Once per process and never undone: other parts of the process may use curl until exit.
CURLcode initialiseCurl() {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] {
#ifdef ZANDORIN_HAVE_LIBSSH2
        // curl's start brings up libssh2, whose crypto start loads every OpenSSL engine: about
        // 3 MiB of pages touched for protocols we never allow (only http and https). Started
        // first without crypto, libssh2 leaves it alone when curl starts it again.
        libssh2_init(LIBSSH2_INIT_NO_CRYPTO);
#endif
        result = curl_global_init(CURL_GLOBAL_DEFAULT);
    });
    return result;
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using Easy = std::unique_ptr<CURL, EasyDeleter>;

struct MultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using Multi = std::unique_ptr<CURLM, MultiDeleter>;

// An easy handle and the multi handle it runs in: the multi keeps the idle connections, and
// lets stop() wake a transfer that waits on the network.
struct Handle {
    Easy easy;
    Multi multi;
};

struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, ListDeleter>;

bool append(HeaderList& list, const std::string& line) {
    curl_slist* head = curl_slist_append(list.get(), line.c_str());
    if (!head) {
        return false;
    }
    static_cast<void>(list.release());  // now owned through head
    list.reset(head);
    return true;
}

// DNS answers and TLS sessions are shared between the handles. Connections are not: libcurl does
// not support a shared connection cache used by concurrent threads, so each handle keeps its own.
class Share {
public:
    Share() : share_(curl_share_init()) {
        if (share_ &&
            (curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &Share::lock) != CURLSHE_OK ||
             curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &Share::unlock) != CURLSHE_OK ||
             curl_share_setopt(share_, CURLSHOPT_USERDATA, this) != CURLSHE_OK ||
             curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK ||
             curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) !=
                 CURLSHE_OK)) {
            curl_share_cleanup(share_);
            share_ = nullptr;  // handles then keep their own caches
        }
    }
    ~Share() {
        if (share_) {
            curl_share_cleanup(share_);
        }
    }
    Share(const Share&) = delete;
    Share& operator=(const Share&) = delete;

    CURLSH* get() const { return share_; }

private:
    static std::size_t slot(curl_lock_data data) {
        return std::min(static_cast<std::size_t>(data),
                        static_cast<std::size_t>(CURL_LOCK_DATA_LAST));
    }
    static void lock(CURL* /*easy*/, curl_lock_data data, curl_lock_access /*access*/, void* self) {
        static_cast<Share*>(self)->mutexes_[slot(data)].lock();
    }
    static void unlock(CURL* /*easy*/, curl_lock_data data, void* self) {
        static_cast<Share*>(self)->mutexes_[slot(data)].unlock();
    }

    std::array<std::mutex, CURL_LOCK_DATA_LAST + 1> mutexes_;
    CURLSH* share_;
};

bool isTokenChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

bool isFieldValue(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

bool sameName(std::string_view a, std::string_view b) {
    auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [&](char x, char y) { return lower(x) == lower(y); });
}

bool hasField(const HttpRequest& request, std::string_view name) {
    return std::any_of(request.headers.begin(), request.headers.end(),
                       [&](const auto& field) { return sameName(field.first, name); });
}

std::string_view trim(std::string_view text) {
    constexpr std::string_view blank = " \t\r\n";
    const auto first = text.find_first_not_of(blank);
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(blank) - first + 1);
}

// What one perform collects through the callbacks.
struct Transfer {
    std::size_t maxBodyBytes = 0;
    const std::atomic<bool>* stopped = nullptr;
    HttpResponse response;
    bool inHeaderBlock = false;
    bool tooLarge = false;
};

// Non-zero aborts the transfer with CURLE_ABORTED_BY_CALLBACK.
int onProgress(void* user, curl_off_t /*dltotal*/, curl_off_t /*dlnow*/, curl_off_t /*ultotal*/,
               curl_off_t /*ulnow*/) {
    return static_cast<const Transfer*>(user)->stopped->load() ? 1 : 0;
}

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    if (bytes > transfer.maxBodyBytes - transfer.response.body.size()) {
        transfer.tooLarge = true;
        return 0;  // aborts the transfer
    }
    transfer.response.body.append(data, bytes);
    return bytes;
}

// Called once per header line of every response on the way: interim (1xx) and proxy answers
// come first, so each status line starts the list afresh. Lines after the block are trailers.
std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto& transfer = *static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    const std::string_view raw(data, bytes);
    const std::string_view line = trim(raw);
    auto& fields = transfer.response.headers;
    if (line.starts_with("HTTP/")) {
        fields.clear();
        transfer.inHeaderBlock = true;
    } else if (line.empty()) {
        transfer.inHeaderBlock = false;
    } else if (!transfer.inHeaderBlock) {
        // trailer fields: not part of the answer's header
    } else if (raw.front() == ' ' || raw.front() == '\t') {
        if (!fields.empty()) {  // obsolete line folding continues the previous value
            auto& value = fields.back().second;
            value += value.empty() ? "" : " ";
            value += line;
        }
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        fields.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
    }
    return bytes;
}

std::string describe(CURLcode code, const char* detail) {
    std::string text = curl_easy_strerror(code);
    const std::string_view more = trim(detail);
    if (!more.empty() && more != text) {
        text += ": ";
        text += more;
    }
    return text;
}

// Every field the caller gave, in order. libcurl adds Host, Content-Length, Accept: */* when the
// caller set no Accept, and on its own also a form Content-Type and Expect: 100-continue for
// large bodies; an empty "Name:" line keeps those last two out.
bool buildHeaders(const HttpRequest& request, bool withBody, HeaderList& list) {
    for (const auto& [name, value] : request.headers) {
        // "Name;" is libcurl's way of sending a field with an empty value.
        std::string line = name;
        line += value.empty() ? ";" : ": ";
        line += value;
        if (!append(list, line)) {
            return false;
        }
    }
    if (!hasField(request, "Expect") && !append(list, "Expect:")) {
        return false;
    }
    return !withBody || hasField(request, "Content-Type") || append(list, "Content-Type:");
}

}  // namespace

struct CurlHttpClient::Impl {
    explicit Impl(Options options) : options(options) {}

    std::optional<Handle> acquire() {
        {
            std::lock_guard lock(mutex);
            if (!idle.empty()) {  // the most recently used handle has the warmest connections
                Handle handle = std::move(idle.back());
                idle.pop_back();
                busy.push_back(handle.multi.get());
                return handle;
            }
        }
        Handle handle{Easy(curl_easy_init()), Multi(curl_multi_init())};
        if (!handle.easy || !handle.multi ||
            (share.get() &&
             curl_easy_setopt(handle.easy.get(), CURLOPT_SHARE, share.get()) != CURLE_OK)) {
            return std::nullopt;
        }
        std::lock_guard lock(mutex);
        busy.push_back(handle.multi.get());
        return handle;  // curl_easy_reset keeps the share, so this is set once per handle
    }

    void release(Handle handle) {
        curl_easy_reset(handle.easy.get());  // drops pointers into the finished request
        std::optional<Handle> surplus;
        std::lock_guard lock(mutex);
        std::erase(busy, handle.multi.get());
        if (idle.size() < kIdleHandles) {
            idle.push_back(std::move(handle));
        } else {
            surplus = std::move(handle);
        }
    }

    // Runs the transfer until it ends; stop() wakes the wait so that the progress callback
    // sees the flag at once, not at curl's next look at the clock.
    CURLcode perform(const Handle& handle) {
        if (curl_multi_add_handle(handle.multi.get(), handle.easy.get()) != CURLM_OK) {
            return CURLE_FAILED_INIT;
        }
        CURLcode code = CURLE_OK;
        for (int running = 1; running > 0;) {
            if (curl_multi_perform(handle.multi.get(), &running) != CURLM_OK ||
                (running > 0 && curl_multi_poll(handle.multi.get(), nullptr, 0, kPollInterval,
                                                nullptr) != CURLM_OK)) {
                code = CURLE_FAILED_INIT;
                break;
            }
        }
        int left = 0;
        while (const CURLMsg* message = curl_multi_info_read(handle.multi.get(), &left)) {
            if (message->msg == CURLMSG_DONE) {
                code = message->data.result;
            }
        }
        curl_multi_remove_handle(handle.multi.get(), handle.easy.get());
        return code;
    }

    const Options options;
    const CURLcode initialised = initialiseCurl();
    Share share;  // declared before the handles so that it outlives them
    std::atomic<bool> stopped{false};
    std::mutex mutex;
    std::vector<Handle> idle;
    std::vector<CURLM*> busy;  // the transfers running now, for stop() to wake
};

CurlHttpClient::CurlHttpClient() : CurlHttpClient(Options{}) {}

CurlHttpClient::CurlHttpClient(Options options) : impl_(std::make_unique<Impl>(options)) {}

CurlHttpClient::~CurlHttpClient() = default;

void CurlHttpClient::stop() {
    impl_->stopped = true;
    std::lock_guard lock(impl_->mutex);
    for (CURLM* multi : impl_->busy) {
        curl_multi_wakeup(multi);
    }
}

HttpResult CurlHttpClient::send(const HttpRequest& request) {
    if (impl_->initialised != CURLE_OK) {
        return TransferError{describe(impl_->initialised, "")};
    }
    if (request.timeout <= 0ms) {
        return TransferError{"the request has no positive time-out"};
    }
    if (!isToken(request.method)) {
        return TransferError{"the request method is not a valid token"};
    }
    for (const auto& [name, value] : request.headers) {
        if (!isToken(name) || !isFieldValue(value)) {
            // Never quote the field: it may carry a credential.
            return TransferError{"a request header field is malformed"};
        }
    }

    const std::string& method = request.method;
    const bool withBody =
        !request.body.empty() || method == "POST" || method == "PUT" || method == "PATCH";
    HeaderList headers;
    if (!buildHeaders(request, withBody, headers)) {
        return TransferError{"out of memory building the request header"};
    }

    auto acquired = impl_->acquire();
    if (!acquired) {
        return TransferError{"could not create a curl handle"};
    }
    // Read after the handle is in `busy`: either stop() wakes it, or the flag is seen here.
    if (impl_->stopped) {
        impl_->release(std::move(*acquired));
        return TransferError{kStopped};
    }
    CURL* handle = acquired->easy.get();

    const auto maxMs = std::chrono::milliseconds(std::numeric_limits<long>::max());
    const auto total = std::min(request.timeout, maxMs);
    const auto connect = std::min(total, kConnectTimeout);
    const std::size_t cap = impl_->options.maxBodyBytes;
    Transfer transfer;
    transfer.maxBodyBytes = cap;
    transfer.stopped = &impl_->stopped;
    std::array<char, CURL_ERROR_SIZE> detail{};

    CURLcode code = CURLE_OK;
    auto set = [&](CURLoption option, auto value) {
        if (code == CURLE_OK) {
            code = curl_easy_setopt(handle, option, value);
        }
    };
    set(CURLOPT_URL, request.url.c_str());
#if LIBCURL_VERSION_NUM >= 0x075500
    set(CURLOPT_PROTOCOLS_STR, "http,https");
#else
    set(CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS));
#endif
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    set(CURLOPT_TIMEOUT_MS, static_cast<long>(total.count()));
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connect.count()));
    set(CURLOPT_ERRORBUFFER, detail.data());
    set(CURLOPT_HTTPHEADER, headers.get());
    set(CURLOPT_WRITEFUNCTION, &onBody);
    set(CURLOPT_WRITEDATA, static_cast<void*>(&transfer));
    set(CURLOPT_HEADERFUNCTION, &onHeader);
    set(CURLOPT_HEADERDATA, static_cast<void*>(&transfer));
    set(CURLOPT_XFERINFOFUNCTION, &onProgress);
    set(CURLOPT_XFERINFODATA, static_cast<void*>(&transfer));
    set(CURLOPT_NOPROGRESS, 0L);
    // Refuses an announced oversized body before it arrives; curl would read 0 as no limit.
    if (cap > 0) {
        const auto limit = static_cast<curl_off_t>(
            std::min<std::size_t>(cap, std::numeric_limits<curl_off_t>::max()));
        set(CURLOPT_MAXFILESIZE_LARGE, limit);
    }
    if (method == "GET" && !withBody) {
        set(CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD" && !withBody) {
        set(CURLOPT_NOBODY, 1L);
    } else {
        if (withBody) {
            // Size first: the bytes are binary and not NUL-terminated as far as curl knows.
            set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
            set(CURLOPT_POSTFIELDS, request.body.data());
        }
        if (method != "POST") {
            set(CURLOPT_CUSTOMREQUEST, method.c_str());
        }
    }
    if (code == CURLE_OK) {
        code = impl_->perform(*acquired);
    }
    long status = 0;
    if (code == CURLE_OK) {
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    }
    impl_->release(std::move(*acquired));

    if (code == CURLE_ABORTED_BY_CALLBACK) {
        return TransferError{kStopped};
    }
    if (transfer.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
        return TransferError{"the answer is larger than " + std::to_string(cap) + " bytes"};
    }
    if (code != CURLE_OK) {
        return TransferError{describe(code, detail.data())};
    }
    if (status < 100) {
        return TransferError{"the answer has no HTTP status"};
    }
    transfer.response.status = status;
    return std::move(transfer.response);
}

}  // namespace zandorin::adapters
