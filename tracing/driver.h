// The tracing driver: every guarded operation opens a span through it. With
// tracing on, spans come from the provider library beside the executable;
// otherwise, and for good after any failure of the provider, they are no-op
// spans that cost no allocation.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/library.h"

class OpenTracingDriver {
public:
    class ISpanContextProvider {
    public:
        virtual ~ISpanContextProvider() = default;
        virtual bool isActive() = 0;
        virtual void markFailed(const std::string& callText) = 0;
        virtual void annotate(const std::string& key, const std::string& value) = 0;
    };

    // Ends a span: deletes the provider's, leaves the shared no-op span alone.
    struct SpanDeleter {
        void operator()(ISpanContextProvider* span) const noexcept;
    };
    using SpanPtr = std::unique_ptr<ISpanContextProvider, SpanDeleter>;

    // The provider's tracer object; only its virtual destructor is used.
    class ITracer {
    public:
        virtual ~ITracer() = default;
    };

    explicit OpenTracingDriver(bool enabled);
    ~OpenTracingDriver();
    OpenTracingDriver(const OpenTracingDriver&) = delete;
    OpenTracingDriver& operator=(const OpenTracingDriver&) = delete;

    bool enabled() const noexcept { return enabled_.load(std::memory_order_relaxed); }
    // For good: after a failure of the provider it is not asked again. Call
    // from inside the catch block of that failure: the first one is told
    // (setTracingOffNotice), naming the provider and why.
    void switchOff() noexcept;

    // Never throws and never returns null. The texts are copied only when
    // tracing is on.
    static SpanPtr StartSpan(std::string_view operationName, std::int32_t line, std::string_view extra) noexcept;
    static void injectCurrentSpan() noexcept;
    // For the process's end: the provider, which may be what ended it, is
    // not asked again (the end's own operations would). Makes no driver.
    static void stopTracing() noexcept;

private:
    using GetTracer = ITracer* (*)();
    using GetSpanContext = ISpanContextProvider* (*)(ITracer** tracer, const std::string& operationName,
                                                     std::int32_t line, const std::string& extra);
    using InjectCurrentSpan = void (*)(ITracer** tracer);

    ISpanContextProvider* startProviderSpan(const std::string& operationName, std::int32_t line,
                                            const std::string& extra);
    void inject();

    std::atomic<bool> enabled_;
    std::wstring providerPath_;  // once it is loaded
    ITracer* tracer_ = nullptr;
    RunTime::LibraryPtr library_;
    CRITICAL_SECTION* lock_;
    GetTracer getTracer_ = nullptr;
    GetSpanContext getSpanContext_ = nullptr;
    InjectCurrentSpan injectCurrentSpan_ = nullptr;
};

// What is told when a failure of the provider switches tracing off, with
// the record's text; the log installs it (the layers below it cannot log).
// It is called where nothing may escape (a span's start or end), so what it
// throws is dropped, a cancellation that its record's wait meets too.
// Process-wide within the module.
using TracingOffNotice = void (*)(const std::wstring& text);
void setTracingOffNotice(TracingOffNotice notice) noexcept;
inline constexpr wchar_t kTracingOffMessage[] = L"Tracing is switched off for this process: the provider %s failed: %s";

// The configuration value that switches tracing on (DWORD, 0 when missing).
inline constexpr wchar_t kTracingEnabledValue[] = L"opentracing_enabled";

// Read when the process's driver is made, at its first span; never throws.
bool isTracingEnabled() noexcept;
// The switch, through the open configuration key; a wrongly typed value is off.
bool tracingSwitchedOn(HKEY configKey) noexcept;

// The provider the driver loads from folder, the executable's own, and the
// entry points it binds there.
std::wstring tracingProviderPath(const std::wstring& folder);
inline constexpr const char* kProviderEntryPoints[] = {"OpenTracingProviderGetTracer",
                                                       "OpenTracingProviderGetSpanContext",
                                                       "OpenTracingProviderInjectCurrentSpan"};
