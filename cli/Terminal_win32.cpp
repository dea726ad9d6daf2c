#include "Terminal.h"
#include <io.h>
bool IsTerminal(std::FILE* stream) { return _isatty(_fileno(stream)) != 0; }
