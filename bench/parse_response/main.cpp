// Throughput of McpTransport::parseResponse on event streams of 1 MB and 10 MB made of server
// notifications and one reply: the reply last (as the server sends it), and the reply first
// (the worst case: every notification line after it is parsed and passed over). Prints a
// Markdown table. Then link detection on adversarial text of 1 MB and 10 MB: runs of "http://",
// runs of "www." and a link of nested brackets, each of which a rescanning detector would
// revisit once per start.
//
//   bench-parse-response [repetitions]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "service/LinkDetector.h"
#include "service/McpTransport.h"

namespace {

std::string stream(std::size_t bytes, bool replyFirst) {
    const std::string note =
        "event: message\ndata: {\"jsonrpc\":\"2.0\",\"method\":\"notifications/message\","
        "\"params\":{\"level\":\"info\",\"data\":\"progress 42%\"}}\n\n";
    const std::string reply =
        "event: message\ndata: {\"jsonrpc\":\"2.0\",\"id\":4711,\"result\":{\"content\":"
        "[{\"type\":\"text\",\"text\":\"✅ 訂閱有效\"}]}}\n\n";
    std::string body;
    body.reserve(bytes + reply.size());
    while (body.size() + reply.size() < bytes) {
        body += note;
    }
    return replyFirst ? reply + body : body + reply;
}

std::string repeated(const std::string& unit, std::size_t bytes) {
    std::string text;
    while (text.size() < bytes) {
        text += unit;
    }
    return text;
}

template <typename Work>
double fastestSeconds(int repetitions, Work work) {
    std::vector<double> runs;
    for (int i = 0; i < repetitions; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        runs.push_back(took.count());
    }
    std::sort(runs.begin(), runs.end());
    return runs.front();
}

double parseSeconds(const std::string& body, int repetitions) {
    return fastestSeconds(repetitions, [&body] {
        const auto reply = zandorin::McpTransport::parseResponse(body);
        if (!reply || !reply->contains("result")) {
            std::fprintf(stderr, "the reply was not found\n");
            std::exit(1);
        }
    });
}

}  // namespace

int main(int argc, char** argv) {
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
    std::printf(
        "| stream | reply | fastest time (ms) | throughput (MB/s) | 10 MB / 1 MB time |\n"
        "|---|---|---|---|---|\n");
    for (const bool replyFirst : {false, true}) {
        double oneMb = 0;
        for (const std::size_t megabytes : {1u, 10u}) {
            const std::string body = stream(megabytes * 1000 * 1000, replyFirst);
            const double seconds = parseSeconds(body, repetitions);
            oneMb = megabytes == 1 ? seconds : oneMb;
            std::printf("| %zu MB | %s | %.1f | %.0f | %s |\n", megabytes,
                        replyFirst ? "first" : "last", seconds * 1e3,
                        static_cast<double>(body.size()) / seconds / 1e6,
                        megabytes == 1 ? "" : std::to_string(seconds / oneMb).substr(0, 4).c_str());
        }
    }

    std::printf(
        "\n| links in | 1 MB time (ms) | 10 MB time (ms) | 10 MB / 1 MB time |\n"
        "|---|---|---|---|\n");
    const std::vector<std::pair<const char*, std::string (*)(std::size_t)>> texts = {
        {"`http://` prefixes", [](std::size_t n) { return repeated("http://", n); }},
        {"`www.` runs", [](std::size_t n) { return repeated("www.", n); }},
        {"nested brackets", [](std::size_t n) {
             return "https://a.b/" + std::string(n / 2, '(') + std::string(n / 2, ')');
         }}};
    for (const auto& [name, make] : texts) {
        double times[2] = {};
        for (const std::size_t megabytes : {1u, 10u}) {
            const std::string text = make(megabytes * 1000 * 1000);
            times[megabytes == 10] = fastestSeconds(repetitions, [&text] {
                if (zandorin::findLinks(text).size() > 1) {
                    std::exit(1);
                }
            });
        }
        std::printf("| %s | %.1f | %.1f | %.1f |\n", name, times[0] * 1e3, times[1] * 1e3,
                    times[1] / times[0]);
    }
    std::printf("\nFastest of %d runs each.\n", repetitions);
    return 0;
}
