// Waits that keep their thread cancellable: alertable, inside an asynchronous
// cancellation point, resumed with the time left after an APC.
#pragma once

#include <windows.h>

#include <cstdint>

class VSyncObject {
public:
    // The last wait's result; WAIT_FAILED raises.
    static std::uint32_t waitForSingleObject(HANDLE handle, std::uint32_t timeout);
};
