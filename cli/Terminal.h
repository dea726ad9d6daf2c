#pragma once
#include <cstdio>
bool IsTerminal(std::FILE* stream);
