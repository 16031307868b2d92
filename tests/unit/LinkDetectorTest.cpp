#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "service/LinkDetector.h"

namespace zandorin {
namespace {

using Links = std::vector<std::string>;

Links linksIn(const std::string& text) {
    Links found;
    for (const auto& match : findLinks(text)) {
        EXPECT_LE(match.offset + match.length, text.size());
        found.push_back(text.substr(match.offset, match.length));
    }
    return found;
}

struct LinkCase {
    std::string name;
    std::string text;
    Links expected;
};

TEST(LinkDetector, FindsLinksInRunningText) {
    const std::vector<LinkCase> cases = {
        {"checkout answer",
         "請在此頁面完成付款：https://pay.example.com/c/abc123?x=1 付款完成後即可使用。",
         {"https://pay.example.com/c/abc123?x=1"}},
        {"ideographic full stop",
         "付款連結：https://pay.example.com/c/1。",
         {"https://pay.example.com/c/1"}},
        {"full-width comma",
         "請前往https://pay.example.com/c/1，完成後重新整理",
         {"https://pay.example.com/c/1"}},
        {"corner brackets",
         "請開啟「https://pay.example.com/c/1」。",
         {"https://pay.example.com/c/1"}},
        {"full-width parentheses",
         "付款頁面（https://pay.example.com/c/1）",
         {"https://pay.example.com/c/1"}},
        {"two links in order",
         "主站 https://a.example.com/x、備用 www.b.example.com/pay；",
         {"https://a.example.com/x", "www.b.example.com/pay"}},
        {"bare www", "Open www.example.com/pay to continue", {"www.example.com/pay"}},
        {"English sentence",
         "Complete your payment at https://pay.example.com/c/abc123.",
         {"https://pay.example.com/c/abc123"}},
        {"parenthesised", "Pay now (see https://x.y/z)", {"https://x.y/z"}},
        {"balanced parentheses",
         "(https://en.wikipedia.org/wiki/Foo_(bar)).",
         {"https://en.wikipedia.org/wiki/Foo_(bar)"}},
        {"repeated trailing punctuation",
         "[https://a.b/c?!']) and https://a.b/d).",
         {"https://a.b/c", "https://a.b/d"}},
        {"uppercase scheme",
         "Go to HTTPS://PAY.EXAMPLE.COM/C/1 or Http://a.b or WWW.A.B",
         {"HTTPS://PAY.EXAMPLE.COM/C/1", "Http://a.b", "WWW.A.B"}},
        {"no link", "付款完成後即可使用。see example.com/pay or ftp://a.b", {}},
        {"no host",
         "https:// or https://.a or http://?q or https://「a」 or www. or www.example",
         {}},
        {"glued to a word", "xhttps://a.b awww.b.c xhttps://www.a.b 1http://c.d", {}},
        {"glued to CJK or punctuation",
         "連結https://a.b/1 '[www.c.d]' =https://e.f",
         {"https://a.b/1", "www.c.d", "https://e.f"}},
        {"whole text", "https://pay.example.com/c/1", {"https://pay.example.com/c/1"}},
        {"full-width space", "https://a.example.com/x\u3000下一步", {"https://a.example.com/x"}},
        {"Unicode and control spaces",
         "https://a.b/1\u00A0x https://a.b/2\u2003x https://a.b/3\tx https://a.b/4\nx",
         {"https://a.b/1", "https://a.b/2", "https://a.b/3", "https://a.b/4"}},
        {"invalid UTF-8",
         "https://a.b/1\xFF\xFEx https://a.b/2\xC0\xAF https://a.b/3\xE4\xBD",
         {"https://a.b/1", "https://a.b/2", "https://a.b/3"}},
        {"query and fragment",
         "https://a.example.com/p?a=1&b=2#frag",
         {"https://a.example.com/p?a=1&b=2#frag"}},
        {"percent-encoding",
         "付款：https://a.example.com/%E4%BB%98%E6%AC%BE?q=a%20b。",
         {"https://a.example.com/%E4%BB%98%E6%AC%BE?q=a%20b"}},
        {"characters a URL cannot hold",
         "<https://a.b/c> \"https://a.b/d\" https://a.b/e|f`g",
         {"https://a.b/c", "https://a.b/d", "https://a.b/e"}},
        {"accented path kept, typographic punctuation not",
         "Siehe https://de.wikipedia.org/wiki/Straße, “https://a.b/c” «https://a.b/d» "
         "https://a.b/e…",
         {"https://de.wikipedia.org/wiki/Straße", "https://a.b/c", "https://a.b/d",
          "https://a.b/e"}},
        {"emoji and Hangul end a link",
         "https://a.b/c🎉 https://a.b/d결제",
         {"https://a.b/c", "https://a.b/d"}},
        {"ports and IPv6 literal",
         "http://localhost:8080/pay, http://[::1]:8080/pay.",
         {"http://localhost:8080/pay", "http://[::1]:8080/pay"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(linksIn(c.text), c.expected) << c.name;
    }
}

TEST(LinkDetector, StaysLinearAndInBoundsOnLargeOrTruncatedText) {
    // Patterns that a rescanning detector would revisit once per start candidate.
    std::string text;
    for (int i = 0; i < 50000; ++i) {
        text += "www.a/";
    }
    text += " https://a.b/" + std::string(300000, ')') + " ";
    const std::size_t nested = text.size();
    text += "https://c.d/" + std::string(100000, '(') + std::string(100000, ')') + "。";
    for (int i = 0; i < 50000; ++i) {
        text += "xhttps://";
    }
    ASSERT_GT(text.size(), std::size_t{1} << 20);

    const auto started = std::chrono::steady_clock::now();
    const auto links = findLinks(text);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(links, (std::vector<LinkMatch>{{300001, 12}, {nested, 12 + 200000}}));

    // Cut inside every multi-byte character: a link never splits one.
    const std::string sample = "連結https://a.b/é€🎉x";
    for (std::size_t cut = 0; cut <= sample.size(); ++cut) {
        const std::string piece = sample.substr(0, cut);
        for (const auto& match : findLinks(piece)) {
            const std::size_t end = match.offset + match.length;
            ASSERT_LE(end, piece.size());
            EXPECT_TRUE(end == piece.size() ||
                        (static_cast<unsigned char>(piece[end]) & 0xC0) != 0x80)
                << cut;
        }
    }
}

}  // namespace
}  // namespace zandorin
