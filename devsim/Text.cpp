#include "devsim/Text.h"


namespace zq {

namespace devsim {

std::string HexList(const std::vector<uint8_t>& bytes, size_t limit)
{
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i)
        out += Format("%s0x%02X", i ? " " : "", bytes[i]);
    if (bytes.size() > limit)
        out += Format(" ... (%zu in all)", bytes.size());
    return out;
}

const char* StepName(DevSimStep s)
{
    switch (s) {
    case DevSimStep::None: return "none";
    case DevSimStep::Syn: return "syn";
    case DevSimStep::Dbw: return "dbw";
    case DevSimStep::Header: return "header";
    case DevSimStep::Count: return "count";
    case DevSimStep::Clr: return "clr";
    case DevSimStep::End: return "end";
    case DevSimStep::Block: return "block";
    case DevSimStep::Final: return "final";
    }
    return "?";
}

const char* EchoName(DevSimEcho e)
{
    switch (e) {
    case DevSimEcho::Right: return "right";
    case DevSimEcho::Wrong: return "wrong";
    case DevSimEcho::Short: return "short";
    case DevSimEcho::Missing: return "missing";
    }
    return "?";
}

} // namespace devsim

}  // namespace zq
