#include "Record.h"

#include <unistd.h>

bool SyncToDisk(std::FILE* file) { return ::fsync(::fileno(file)) == 0; }
