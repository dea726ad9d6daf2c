#include "cli/Serve.h"

namespace zq {

bool CanServe() { return false; }

std::unique_ptr<CServedStation> ServeStation(const ServeOptions&, const ImageSnapshot&, const JobRun&,
                                             const std::string&, const std::atomic<bool>*, SessionEvents&,
                                             std::function<size_t()>)
{
    return nullptr;
}

}  // namespace zq
