// The bytes a channel's signatures cover: OLPC canonical JSON, with keys
// sorted, no whitespace, integers only, and strings escaped only at '\' and
// '"'. Other TUF implementations sign the same bytes.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace zq {

// false for a value canonical JSON cannot hold (a float), with why.
bool CanonicalJson(const nlohmann::json& value, std::string& out, std::string& error);

}  // namespace zq
