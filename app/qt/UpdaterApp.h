// The application object: owns the Qt application and shows the one dialog
// modally; the program ends when the dialog closes.
#pragma once

#include <memory>
#include <string>
#include <vector>

class QApplication;

namespace zq {

class CUpdaterApp {
public:
    CUpdaterApp(int argc, char** argv);
    ~CUpdaterApp();
    CUpdaterApp(const CUpdaterApp&) = delete;
    CUpdaterApp& operator=(const CUpdaterApp&) = delete;

    int Run();

private:
    // QApplication keeps references to these for its whole life.
    int argc_;
    char* argv_[2];
    std::unique_ptr<QApplication> app_;
    std::vector<std::string> ports_; // --ports: Start's ports; empty: the system's
    std::string error_;              // a --ports that cannot be read
};

}  // namespace zq
