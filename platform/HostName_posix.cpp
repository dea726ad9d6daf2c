#include "platform/HostName.h"

#include <unistd.h>

namespace zq {

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return std::string();
    return name;
}

}  // namespace zq
