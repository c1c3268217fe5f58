// The process-wide execute context. Every module built on this runtime (the
// executable and any DLL) exports a pointer to it under one data symbol; the
// first module to ask creates it, the others find it through that export and
// share it, so that they cancel, trace and log with one set of state.
//
// The slots belong to the layers above, which fill them on first use; each
// sets the destroy function beside its slot, so that the last module to
// release the context destroys it without knowing those layers.
#pragma once

#include <cstdint>

struct LogSettings;
namespace ThreadCancelation {
struct CancelationRegistry;
}

class OpenTracingDriver;

struct ExecuteContext {
    OpenTracingDriver* tracing = nullptr;
    ThreadCancelation::CancelationRegistry* registry = nullptr;
    LogSettings* logging = nullptr;
    std::uint64_t references = 0;
    void (*destroyTracing)(OpenTracingDriver*) noexcept = nullptr;
    void (*destroyRegistry)(ThreadCancelation::CancelationRegistry*) noexcept = nullptr;
    void (*destroyLogging)(LogSettings*) noexcept = nullptr;
};

extern "C" __declspec(dllexport) ExecuteContext* m_ExecuteContext_4D93FADE_7B9E_4286_AE07_54AF471F7E22;

// The context, created or adopted on the module's first call.
ExecuteContext& executeContext();
