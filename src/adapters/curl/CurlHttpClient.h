#pragma once

#include <cstddef>
#include <memory>

#include "platform/HttpClient.h"

namespace zandorin::adapters {

// libcurl over a small pool of handles. Each handle keeps its own idle connections, so
// sequential requests to one origin ride one connection; DNS answers and TLS sessions are shared
// between the handles. Redirects are returned, never followed; TLS peers are always verified.
// Safe to call from many threads at once; destroy only when no send() is running.
class CurlHttpClient final : public platform::HttpClient {
public:
    struct Options {
        // A larger answer (announced or received) fails as a TransferError.
        std::size_t maxBodyBytes = 16 * 1024 * 1024;
    };

    CurlHttpClient();
    explicit CurlHttpClient(Options options);
    ~CurlHttpClient() override;

    CurlHttpClient(const CurlHttpClient&) = delete;
    CurlHttpClient& operator=(const CurlHttpClient&) = delete;

    platform::HttpResult send(const platform::HttpRequest& request) override;

    // On the way out, from any thread: transfers running now end at once with a transfer error,
    // and later ones fail without being sent.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace zandorin::adapters
