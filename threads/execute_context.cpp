#include "threads/execute_context.h"

#include <windows.h>
#include <psapi.h>

#include <cstdlib>
#include <vector>

#include "log/logmanager.h"
#include "threads/cancelation_registry.h"
#include "tracing/driver.h"

ExecuteContext* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 = nullptr;

namespace {

constexpr char kExportName[] = "m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22";

// The context another module of the process already exports, or null.
ExecuteContext* findShared() noexcept {
    try {
        std::vector<HMODULE> modules(256);
        DWORD needed = 0;
        const HANDLE process = GetCurrentProcess();
        auto bytes = [&] { return static_cast<DWORD>(modules.size() * sizeof(HMODULE)); };
        if (!K32EnumProcessModules(process, modules.data(), bytes(), &needed)) return nullptr;
        if (needed > bytes()) {
            modules.resize(needed / sizeof(HMODULE));
            if (!K32EnumProcessModules(process, modules.data(), bytes(), &needed) || needed > bytes()) return nullptr;
        }
        modules.resize(needed / sizeof(HMODULE));
        for (HMODULE module : modules) {
            const auto exported = reinterpret_cast<ExecuteContext* const*>(
                reinterpret_cast<void*>(GetProcAddress(module, kExportName)));
            if (exported && *exported) return *exported;
        }
    } catch (...) {
    }
    return nullptr;
}

// Destructors do not throw, so there is nothing to swallow here.
void destroy(ExecuteContext* context) noexcept {
    delete context->registry;
    delete context->logging;
    delete context->tracing;
    delete context;
}

bool g_released = false;

void releaseAtExit() {
    ExecuteContext* context = m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;
    m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 = nullptr;
    g_released = true;
    if (context && --context->references == 0) destroy(context);
}

}  // namespace

ExecuteContext& executeContext() {
    ExecuteContext*& own = m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;
    if (own) return *own;
    if (ExecuteContext* shared = findShared()) {
        own = shared;
        ++own->references;
    } else {
        own = new ExecuteContext;
        own->tracing = new OpenTracingDriver(isTracingEnabled());
        own->references = 1;
    }
    // Whatever still logs after the release at exit gets a context of its
    // own that is never released, rather than one already destroyed.
    if (!g_released) std::atexit(releaseAtExit);
    return *own;
}
