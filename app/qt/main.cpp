#include "app/qt/UpdaterApp.h"

using namespace zq;

int main(int argc, char** argv)
{
    CUpdaterApp app(argc, argv);
    return app.Run();
}
