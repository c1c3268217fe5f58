#include "app/manager.h"
#include "report/handler.h"

int wmain(int argc, wchar_t** argv) {
    // First made and last gone, so that every error record of the run can
    // become a report.
    SendErrorReport::LogHandler reportHandler;
    Rundock::Manager application;
    return application.run(argc, argv);
}
