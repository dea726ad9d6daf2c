#include "UpdaterApp.h"

int main(int argc, char** argv)
{
    CUpdaterApp app(argc, argv);
    return app.Run();
}
