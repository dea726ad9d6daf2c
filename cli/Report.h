// --report LOG [--html FILE]: a record file's yield, printed, and as a page.
#pragma once

#include <string>

namespace zq {

// 0 printed (and written); 2 the log or the page could not be opened.
int PrintYieldReport(const std::string& logPath, const std::string& htmlPath);
// The page --html writes, of the record file at logPath as it is now; false
// when it cannot be read.
bool YieldPage(const std::string& logPath, std::string& page);

}  // namespace zq
