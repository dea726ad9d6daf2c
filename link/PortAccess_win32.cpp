#include "link/PortAccess.h"

namespace zq {

// Windows refuses a COM port with ERROR_ACCESS_DENIED when another program
// has it open; user rights do not come into it.
std::string PortAccessAdvice(const std::string&)
{
    return "another program holds the port (a terminal, another station): close it and try again";
}

}  // namespace zq
