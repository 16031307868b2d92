#include <gtest/gtest.h>

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
        {"連結https://a.b/1\t'[www.c.d]'\n=https://e.f",
         {"https://a.b/1", "www.c.d", "https://e.f"}},
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
    // Each range's first and last code point, and those just outside.
    const char* ends[] = {"\u0080",     "\u00BF",     "\u1100",     "\u11FF",     "\u1680",
                          "\u2000",     "\u2BFF",     "\u2E00",     "\u9FFF",     "\uA960",
                          "\uA97F",     "\uAC00",     "\uD7FF",     "\uE000",     "\uFAFF",
                          "\uFE10",     "\uFE1F",     "\uFE30",     "\uFE6F",     "\uFEFF",
                          "\uFF00",     "\uFFFF",     "\U0001AFF0", "\U0001B2FF", "\U0001F000",
                          "\U0001FBFF", "\U00020000", "\U0010FFFF"};
    const char* stays[] = {"\u00C0",     "\u10FF",     "\u1200",     "\u167F",     "\u1681",
                           "\u1FFF",     "\u2C00",     "\u2DFF",     "\uA000",     "\uA95F",
                           "\uA980",     "\uABFF",     "\uFB00",     "\uFE0F",     "\uFE20",
                           "\uFE2F",     "\uFE70",     "\uFEFE",     "\U00010000", "\U0001AFEF",
                           "\U0001B300", "\U0001EFFF", "\U0001FC00", "\U0001FFFF"};
    for (const std::string c : ends) {
        EXPECT_EQ(linksIn("https://a.b/x" + c + "y"), Links{"https://a.b/x"});
    }
    for (const std::string c : stays) {
        EXPECT_EQ(linksIn("https://a.b/x" + c + "y"), Links{"https://a.b/x" + c + "y"});
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
    EXPECT_EQ(findLinks(text), (std::vector<LinkMatch>{{300001, 12}, {nested, 12 + 200000}}));
}

}  // namespace
}  // namespace zandorin
