#pragma once
#include <string>
// The folder the running executable lies in, without a trailing separator.
std::string ExecutableFolder();
// The image beside the executable, as the dialog finds it.
std::string DefaultImagePath();
