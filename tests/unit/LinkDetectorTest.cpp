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

std::string utf8(char32_t c) {
    const auto byte = [](char32_t bits) { return static_cast<char>(bits); };
    if (c < 0x800) {
        return {byte(0xC0 | c >> 6), byte(0x80 | (c & 0x3F))};
    }
    if (c < 0x10000) {
        return {byte(0xE0 | c >> 12), byte(0x80 | (c >> 6 & 0x3F)), byte(0x80 | (c & 0x3F))};
    }
    return {byte(0xF0 | c >> 18), byte(0x80 | (c >> 12 & 0x3F)), byte(0x80 | (c >> 6 & 0x3F)),
            byte(0x80 | (c & 0x3F))};
}

TEST(LinkDetectorTest, FindsLinksInRunningText) {
    const std::vector<std::pair<std::string, Links>> cases = {
        {"請在此頁面完成付款：https://pay.example.com/c/abc123?x=1 付款完成後即可使用。",
         {"https://pay.example.com/c/abc123?x=1"}},
        {"連結：https://a.b/1。前往https://a.b/2，「https://a.b/3」（https://a.b/4）",
         {"https://a.b/1", "https://a.b/2", "https://a.b/3", "https://a.b/4"}},
        {"主站 https://a.example.com/x、備用 www.b.example.com/pay；",
         {"https://a.example.com/x", "www.b.example.com/pay"}},
        {"(https://en.wikipedia.org/wiki/Foo_(bar)).", {"https://en.wikipedia.org/wiki/Foo_(bar)"}},
        {"[https://a.b/c?!']) and https://a.b/d).", {"https://a.b/c", "https://a.b/d"}},
        {"Go to HTTPS://PAY.EXAMPLE.COM/C/1 or Http://a.b or WWW.A.B",
         {"HTTPS://PAY.EXAMPLE.COM/C/1", "Http://a.b", "WWW.A.B"}},
        {"付款完成後即可使用。see example.com/pay or ftp://a.b", {}},
        {"https:// or https://.a or http://?q or https://「a」 or www. or www.example", {}},
        {"xhttps://a.b awww.b.c xhttps://www.a.b 1http://c.d", {}},
        {"連結https://a.b/1 '[www.c.d]' =https://e.f", {"https://a.b/1", "www.c.d", "https://e.f"}},
        {"https://a.b/1\u00A0x https://a.b/2\u2003x https://a.b/3\tx https://a.b/4\nx",
         {"https://a.b/1", "https://a.b/2", "https://a.b/3", "https://a.b/4"}},
        {"https://a.b/1\xFF\xFEx https://a.b/2\xC0\xAF https://a.b/3\xE4\xBD",
         {"https://a.b/1", "https://a.b/2", "https://a.b/3"}},
        {"付款：https://a.example.com/%E4%BB%98?q=a%20b&c=1#frag。",
         {"https://a.example.com/%E4%BB%98?q=a%20b&c=1#frag"}},
        {"<https://a.b/c> \"https://a.b/d\" https://a.b/e|f`g",
         {"https://a.b/c", "https://a.b/d", "https://a.b/e"}},
        {"Siehe https://de.wikipedia.org/wiki/Straße, “https://a.b/c” «https://a.b/d» "
         "https://a.b/e…",
         {"https://de.wikipedia.org/wiki/Straße", "https://a.b/c", "https://a.b/d",
          "https://a.b/e"}},
        {"http://localhost:8080/pay, http://[::1]:8080/pay.",
         {"http://localhost:8080/pay", "http://[::1]:8080/pay"}},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(linksIn(text), expected) << text;
    }
}

TEST(LinkDetectorTest, EachTerminatingRangeEndsALinkFromItsFirstToItsLastCodePoint) {
    const char32_t ends[] = {0x80,   0xBF,    0x1100,  0x11FF,  0x1680,  0x2000,  0x2BFF,
                             0x2E00, 0x9FFF,  0xA960,  0xA97F,  0xAC00,  0xD7FF,  0xE000,
                             0xFAFF, 0xFE10,  0xFE1F,  0xFE30,  0xFE6F,  0xFEFF,  0xFF00,
                             0xFFFF, 0x1AFF0, 0x1B2FF, 0x1F000, 0x1FBFF, 0x20000, 0x10FFFF};
    const char32_t stays[] = {0xC0,   0x10FF, 0x1200,  0x167F,  0x1681,  0x1FFF,  0x2C00,  0x2DFF,
                              0xA000, 0xA95F, 0xA980,  0xABFF,  0xFB00,  0xFE0F,  0xFE20,  0xFE2F,
                              0xFE70, 0xFEFE, 0x10000, 0x1AFEF, 0x1B300, 0x1EFFF, 0x1FC00, 0x1FFFF};
    for (const char32_t c : ends) {
        EXPECT_EQ(linksIn("https://a.b/x" + utf8(c) + "y"), Links{"https://a.b/x"})
            << std::hex << static_cast<unsigned>(c);
    }
    for (const char32_t c : stays) {
        const std::string link = "https://a.b/x" + utf8(c) + "y";
        EXPECT_EQ(linksIn(link), Links{link}) << std::hex << static_cast<unsigned>(c);
    }
}

TEST(LinkDetectorTest, StaysLinearOnTextThatARescanningDetectorWouldRevisit) {
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
    const auto started = std::chrono::steady_clock::now();
    const auto links = findLinks(text);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(links, (std::vector<LinkMatch>{{300001, 12}, {nested, 12 + 200000}}));
}

}  // namespace
}  // namespace zandorin
