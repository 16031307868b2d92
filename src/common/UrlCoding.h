#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zandorin::url {

// A query item: a name and, unless the item had no "=", a value.
using QueryItem = std::pair<std::string, std::optional<std::string>>;

// Percent-encodes what a URL query may not hold as it is, and the item separators "&", "="
// and "+", so that the value reads back unchanged. ":" "/" "?" "@" stay.
std::string encodeQueryValue(std::string_view value);

// Percent-encodes everything but the unreserved characters (RFC 3986): a value that is safe
// in an application/x-www-form-urlencoded body whatever it holds.
std::string encodeFormValue(std::string_view value);

// "name=value&..." from the items, each name and value encoded as a query value.
std::string buildQuery(const std::vector<QueryItem>& items);

// The items of a query, names and values percent-decoded ("+" stays "+"); nothing when the
// query holds a malformed percent sequence.
std::optional<std::vector<QueryItem>> parseQuery(std::string_view query);

}  // namespace zandorin::url
