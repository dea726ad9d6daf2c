#include "Terminal.h"
#include <unistd.h>
bool IsTerminal(std::FILE* stream) { return isatty(fileno(stream)) == 1; }
