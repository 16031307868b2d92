#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SystemLog.h"
#include "platform/Url.h"

namespace zandorin {

// A byte range in the UTF-8 text; the caller takes that substring unchanged.
struct LinkMatch {
    std::size_t offset;
    std::size_t length;

    bool operator==(const LinkMatch&) const = default;
};

// Every http, https and bare "www." link in running Chinese or English text, in text order, in
// linear time. Nothing is validated or normalised.
//
// - A link starts at a case-insensitive "http://", "https://" or "www." not glued to a preceding
//   ASCII letter or digit; a glued start ("xhttps://a.b", "awww.b.c") rejects that whole run of
//   link characters, including a "www." inside it.
// - It needs a host: after the scheme, a letter or digit (or an IPv6 literal "[...]"); after
//   "www.", a letter or digit and at least one further dot-label ("www.example.com", not
//   "www.example").
// - It ends before whitespace, control characters, invalid UTF-8, the ASCII characters a URL
//   cannot hold (< > " ` { } | \ ^), CJK text, CJK and full-width punctuation, typographic
//   punctuation and symbols (U+2000-U+2BFF, curly quotes, «», dashes, ellipsis), emoji and
//   private-use characters. Other non-ASCII (accented Latin, Greek, Cyrillic, ...) stays in the
//   link, so an unencoded IRI path such as ".../wiki/Straße" comes out whole.
// - Trailing . , ; : ! ? ' are dropped, and ")" or "]" when unbalanced within the link,
//   repeatedly.
std::vector<LinkMatch> findLinks(std::string_view text);

// Whether a link that came from outside (a pushed message, a checkout answer) may be opened:
// only an http or https URL (scheme in any case) goes to the browser, since the desktop hands
// any other scheme to whatever program claims it. A URL of another scheme is logged under
// `category` by its scheme alone.
bool isWebUrl(const std::string& text, const platform::UrlParser& urls, platform::SystemLog& log,
              const char* category);

}  // namespace zandorin
