#include "channel/CanonicalJson.h"

namespace zq {

namespace {

void String(const std::string& s, std::string& out)
{
    out += '"';
    for (const char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    out += '"';
}

} // namespace

bool CanonicalJson(const nlohmann::json& value, std::string& out, std::string& error)
{
    switch (value.type()) {
    case nlohmann::json::value_t::null: out += "null"; return true;
    case nlohmann::json::value_t::boolean: out += value.get<bool>() ? "true" : "false"; return true;
    case nlohmann::json::value_t::number_integer: out += std::to_string(value.get<int64_t>()); return true;
    case nlohmann::json::value_t::number_unsigned: out += std::to_string(value.get<uint64_t>()); return true;
    case nlohmann::json::value_t::string: String(value.get_ref<const std::string&>(), out); return true;
    case nlohmann::json::value_t::array: {
        out += '[';
        for (size_t i = 0; i < value.size(); ++i) {
            if (i)
                out += ',';
            if (!CanonicalJson(value[i], out, error))
                return false;
        }
        out += ']';
        return true;
    }
    case nlohmann::json::value_t::object: {
        // nlohmann's object is a std::map: its keys come sorted by their bytes,
        // which for UTF-8 is the order of their code points.
        out += '{';
        bool first = true;
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (!first)
                out += ',';
            first = false;
            String(it.key(), out);
            out += ':';
            if (!CanonicalJson(it.value(), out, error))
                return false;
        }
        out += '}';
        return true;
    }
    default:
        // A float has no one spelling; two signers could not agree on its bytes.
        error = "canonical JSON holds no floats";
        return false;
    }
}

}  // namespace zq
