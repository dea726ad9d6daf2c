// The application object: shows the dialog modally, and the program ends
// when it closes.
#pragma once

#include <windows.h>

namespace zq {

class CUpdaterApp {
public:
    // Returns false: there is no message loop to run after the dialog.
    bool InitInstance(HINSTANCE instance);
};

}  // namespace zq
