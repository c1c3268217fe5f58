#include "runtime/execute_context.h"

#include <windows.h>
#include <psapi.h>

#include <cstdlib>
#include <vector>

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

// The destroy functions do not throw, so there is nothing to swallow here.
void destroy(ExecuteContext* context) noexcept {
    if (context->registry && context->destroyRegistry) context->destroyRegistry(context->registry);
    if (context->logging && context->destroyLogging) context->destroyLogging(context->logging);
    if (context->tracing && context->destroyTracing) context->destroyTracing(context->tracing);
    delete context;
}

// The module whose image holds address; null when none does.
HMODULE moduleOf(const void* address) noexcept {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCWSTR>(address), &module);
    return module;
}

// A DLL that lets go while others still hold the context may be unloaded
// next: no destroy function may point into it then, and what it filled in
// is left to the end of the process instead. The executable stays mapped
// until the last module has let go.
template <class Function>
void forgetOwn(Function& function, HMODULE self) noexcept {
    if (function && moduleOf(reinterpret_cast<const void*>(function)) == self) function = nullptr;
}

bool g_released = false;

void releaseAtExit() {
    ExecuteContext* context = m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;
    m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22 = nullptr;
    g_released = true;
    if (!context) return;
    if (--context->references == 0) return destroy(context);
    static const int anchor = 0;
    const HMODULE self = moduleOf(&anchor);
    if (!self || self == GetModuleHandleW(nullptr)) return;
    forgetOwn(context->destroyRegistry, self);
    forgetOwn(context->destroyLogging, self);
    forgetOwn(context->destroyTracing, self);
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
        own->references = 1;
    }
    // Whatever still logs after the release at exit gets a context of its
    // own that is never released, rather than one already destroyed.
    if (!g_released) std::atexit(releaseAtExit);
    return *own;
}
