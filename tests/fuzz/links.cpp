// Links in running text: in order, inside the input, on character boundaries.
#include "FuzzCheck.h"
#include "common/Text.h"
#include "service/LinkDetector.h"

using namespace zandorin;

FUZZ_TARGET(input) {
    const bool valid = text::isValidUtf8(input);  // else a link may end at a stray byte
    std::size_t previousEnd = 0;
    for (const auto& link : findLinks(input)) {
        FUZZ_CHECK(link.offset >= previousEnd && link.length <= input.size() - link.offset);
        previousEnd = link.offset + link.length;
        const auto text = input.substr(link.offset, link.length);
        FUZZ_CHECK(text::isValidUtf8(text));
        FUZZ_CHECK(!valid || previousEnd == input.size() || (input[previousEnd] & 0xC0) != 0x80);
        std::string lower(text.substr(0, 8));
        for (char& c : lower) {
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        }
        FUZZ_CHECK(lower.starts_with("http://") || lower.starts_with("https://") ||
                   lower.starts_with("www."));
        FUZZ_CHECK(text.find_first_of(" \t\r\n<>\"") == std::string_view::npos);
    }
}
