#include "tracing/driver.h"

#include <atomic>
#include <cwctype>
#include <type_traits>
#include <utility>

#include "errors/format.h"
#include "errors/translator.h"
#include "errors/vexception.h"
#include "runtime/critical_section.h"
#include "runtime/execute_context.h"
#include "runtime/paths.h"
#include "runtime/registry.h"
#include "runtime/text.h"

namespace {

class OpenTracingSpanContextNone final : public OpenTracingDriver::ISpanContextProvider {
public:
    bool isActive() override { return false; }
    void markFailed(const std::string&) override {}
    void annotate(const std::string&, const std::string&) override {}
};

// One no-op span serves every operation: it holds nothing, so sharing it
// keeps a span free of allocation while tracing is off.
OpenTracingSpanContextNone g_noSpan;

OpenTracingDriver::SpanPtr noSpan() noexcept { return OpenTracingDriver::SpanPtr(&g_noSpan); }

void destroyDriver(OpenTracingDriver* driver) noexcept { delete driver; }

// Constant-initialised: the log installs its notice from a static object.
std::atomic<TracingOffNotice> g_offNotice{nullptr};

// Why the provider failed: the exception being handled, as a record reads it.
std::wstring failureText() {
    try {
        throw;
    } catch (const cwrpexception& e) {
        return describeStructuredException(e);
    } catch (const vexception& e) {
        return fullMessage(e);
    } catch (const std::exception& e) {
        return wstr(e.what(), CP_ACP);
    } catch (...) {
        return L"Unexpected error";
    }
}

// The context's one driver, made by whichever module traces first. Null when
// the context cannot be reached or the driver not made: that counts as
// tracing off.
OpenTracingDriver* driver() noexcept {
    try {
        ExecuteContext& context = executeContext();
        std::atomic_ref<OpenTracingDriver*> slot(context.tracing);
        if (OpenTracingDriver* const existing = slot.load()) return existing;
        auto made = std::make_unique<OpenTracingDriver>(isTracingEnabled());
        OpenTracingDriver* existing = nullptr;
        // Two threads (or modules) may both get here; one driver stays.
        if (!slot.compare_exchange_strong(existing, made.get())) return existing;
        context.destroyTracing = &destroyDriver;
        return made.release();
    } catch (...) {
        return nullptr;
    }
}

// The provider's span, called under the translator: a fault or an exception
// in it switches tracing off and leaves the operation to go on untraced.
class ContainedSpan final : public OpenTracingDriver::ISpanContextProvider {
public:
    ContainedSpan(OpenTracingDriver& driver, ISpanContextProvider* span) noexcept : driver_(driver), span_(span) {}
    ~ContainedSpan() override {
        call([this] { delete span_; });
    }
    bool isActive() override {
        bool active = false;
        call([&] { active = span_->isActive(); });
        return active;
    }
    void markFailed(const std::string& callText) override { call([&] { span_->markFailed(callText); }); }
    void annotate(const std::string& key, const std::string& value) override {
        call([&] { span_->annotate(key, value); });
    }

private:
    template <class Call>
    void call(Call providerCall) noexcept {
        if (!span_) return;
        try {
            translated(providerCall);
        } catch (...) {
            // A span that faulted is not touched again, not even to delete it.
            span_ = nullptr;
            driver_.switchOff();
        }
    }

    OpenTracingDriver& driver_;
    ISpanContextProvider* span_;
};

}  // namespace

void OpenTracingDriver::SpanDeleter::operator()(ISpanContextProvider* span) const noexcept {
    if (span != &g_noSpan) delete span;
}

OpenTracingDriver::OpenTracingDriver(bool enabled) : enabled_(enabled), lock_(new CRITICAL_SECTION) {
    InitializeCriticalSection(lock_);
}

OpenTracingDriver::~OpenTracingDriver() {
    // A fault in the provider's tracer costs a dump, never the exit code.
    try {
        translated([this] { delete std::exchange(tracer_, nullptr); });
    } catch (...) {
    }
    // The provider stays loaded until the process ends: a span still open
    // on another thread must not call into an unloaded module.
    library_.release();
    DeleteCriticalSection(lock_);
    delete lock_;
}

OpenTracingDriver::ISpanContextProvider* OpenTracingDriver::startProviderSpan(const std::string& operationName,
                                                                              std::int32_t line,
                                                                              const std::string& extra) {
    const RunTime::CriticalSectionLock lock(*lock_);
    // A fault inside the provider is translated (and dumped) like one in a
    // guarded operation, whose translator is not in place yet. The lock is
    // taken outside, so that a stack overflow taken back to the boundary
    // still leaves it.
    ISpanContextProvider* span = nullptr;
    auto start = [&] {
        if (!library_.valid()) {
            // Written once, before any failure reads it.
            if (providerPath_.empty()) providerPath_ = tracingProviderPath(VFileName::directory(moduleName(nullptr)));
            library_ = RunTime::LibraryPtr(providerPath_);
            const auto resolve = [this](auto& field, const char* name) {
                field = reinterpret_cast<std::remove_reference_t<decltype(field)>>(
                    reinterpret_cast<void*>(VModule::getProcAddress(library_.get(), name)));
            };
            resolve(getTracer_, kProviderEntryPoints[0]);
            resolve(getSpanContext_, kProviderEntryPoints[1]);
            resolve(injectCurrentSpan_, kProviderEntryPoints[2]);
        }
        if (!tracer_) tracer_ = getTracer_();
        span = getSpanContext_(&tracer_, operationName, line, extra);
    };
    translated(start);
    return span;
}

OpenTracingDriver::SpanPtr OpenTracingDriver::StartSpan(std::string_view operationName, std::int32_t line,
                                                        std::string_view extra) noexcept {
    OpenTracingDriver* const self = driver();
    if (!self || !self->enabled()) return noSpan();
    try {
        ISpanContextProvider* span = self->startProviderSpan(std::string(operationName), line, std::string(extra));
        if (span) return SpanPtr(new ContainedSpan(*self, span));
        // A provider that answers null is as broken as one that throws.
        throw vexception(L"OpenTracingProviderGetSpanContext answered no span",
                         raiseSite("OpenTracingDriver::StartSpan", __LINE__));
    } catch (...) {
        // Whatever failed, the provider is not asked again in this process.
        self->switchOff();
    }
    return noSpan();
}

void OpenTracingDriver::inject() {
    const RunTime::CriticalSectionLock lock(*lock_);
    translated([this] {
        if (library_.valid() && tracer_) injectCurrentSpan_(&tracer_);
    });
}

void OpenTracingDriver::switchOff() noexcept {
    if (!enabled_.exchange(false)) return;
    try {
        if (const TracingOffNotice notice = g_offNotice.load())
            notice(formatString(kTracingOffMessage, providerPath_, failureText()));
    } catch (...) {
    }
}

void OpenTracingDriver::stopTracing() noexcept {
    try {
        // Silently: the process is ending for a reason of its own.
        if (OpenTracingDriver* const existing = std::atomic_ref<OpenTracingDriver*>(executeContext().tracing).load())
            existing->enabled_.store(false);
    } catch (...) {
    }
}

void OpenTracingDriver::injectCurrentSpan() noexcept {
    OpenTracingDriver* const self = driver();
    if (!self || !self->enabled()) return;
    try {
        self->inject();
    } catch (...) {
        self->switchOff();
    }
}

void setTracingOffNotice(TracingOffNotice notice) noexcept { g_offNotice.store(notice); }

bool isTracingEnabled() noexcept {
    try {
        static const wchar_t* const excluded[] = {L"korvorepairmodule.dll", L"korvourlprotection.dll"};
        const std::wstring path = moduleName(nullptr);
        std::wstring name = path.substr(path.find_last_of(L"\\/") + 1);
        for (wchar_t& c : name) c = static_cast<wchar_t>(std::towlower(c));
        for (const wchar_t* entry : excluded)
            if (name == entry) return false;
        const registry::Key key(HKEY_LOCAL_MACHINE, registry::kConfigKey, KEY_READ | KEY_WOW64_32KEY, false);
        return tracingSwitchedOn(key.get());
    } catch (...) {
        return false;
    }
}

bool tracingSwitchedOn(HKEY configKey) noexcept {
    return registry::dwordOrDefault(configKey, kTracingEnabledValue, 0) != 0;
}

std::wstring tracingProviderPath(const std::wstring& folder) {
    return VFileName::combine(folder, L"opentracingprovider.dll");
}
