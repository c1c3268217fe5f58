#include "app/manager.h"

int wmain(int argc, wchar_t** argv) {
    Rundock::Manager application;
    return application.run(argc, argv);
}
