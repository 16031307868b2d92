#pragma once

#include <cstdint>
#include <string>

namespace zandorin {

// What the knowledge base holds, as the statistics endpoint last reported it.
struct KnowledgeStats {
    std::int64_t topics = 0;
    std::int64_t projects = 0;
    std::int64_t skills = 0;
    std::string latestNewsDate;

    bool operator==(const KnowledgeStats&) const = default;
};

}  // namespace zandorin
