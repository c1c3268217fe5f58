// The agent's console application: --run-task (the default) and --help.
#pragma once

#include "app/consoleapp.h"

namespace Rundock {

class Manager : public vconsoleapp {
public:
    Manager();
    int go(int count, wchar_t** parameters) override;
    int usage() override;
};

}  // namespace Rundock
