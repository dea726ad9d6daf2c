#include "Record.h"

#include <io.h>

bool SyncToDisk(std::FILE* file) { return ::_commit(::_fileno(file)) == 0; }
