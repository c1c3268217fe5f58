// The guarded-operation wrapper. Every public operation runs its body inside
// a tracing span, the structured-exception translator and a synchronous
// cancellation point, and turns whatever escapes into a vexception carrying
// one more context entry: its call text, full name and line.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "errors/format.h"
#include "errors/translator.h"
#include "runtime/text.h"
#include "threads/cancelation.h"
#include "tracing/driver.h"

// The constants each operation keeps beside its body.
struct GuardedOperation {
    const char* fullName;       // e.g. "Rundock::Adapter::runTask"
    const wchar_t* callFormat;  // e.g. L"Unable to call dirSize(%s)"
    std::int32_t spanLine;
    std::int32_t line;          // of the context entry
};

class GuardScope {
public:
    explicit GuardScope(const GuardedOperation& operation);
    GuardScope(const GuardScope&) = delete;
    GuardScope& operator=(const GuardScope&) = delete;
    // Members end in reverse order: cancellation point, span. The body runs
    // under the translator (translated()). Closing the point may end the
    // thread, hence not noexcept.
    ~GuardScope() noexcept(false) = default;

    template <class CallText>
    void succeeded(const CallText& callText) {
        if (span_->isActive()) span_->annotate("if_error", cstr(callText(), 0));
    }

    // Call only from inside a catch block: classifies the current exception
    // and throws its vexception form.
    [[noreturn]] void failed(const std::wstring& callText);

private:
    const GuardedOperation& operation_;
    OpenTracingDriver::SpanPtr span_;
    ThreadCancelation::CancelationPoint point_{ThreadCancelation::Synchronous};
};

// The guarded operation's conversion of the exception being handled (call
// only from inside a catch block) into its vexception form carrying entry;
// span, when given, is annotated with the kind of error.
[[noreturn]] void rethrowWithContext(const ErrorContext& entry, OpenTracingDriver::ISpanContextProvider* span);

template <class Body, class... Args>
auto guarded(const GuardedOperation& operation, Body&& body, const Args&... args)
    -> std::invoke_result_t<Body&> {
    GuardScope scope(operation);
    const auto callText = [&] { return formatString(operation.callFormat, args...); };
    try {
        if constexpr (std::is_void_v<std::invoke_result_t<Body&>>) {
            translated(body);
            scope.succeeded(callText);
        } else {
            std::optional<std::invoke_result_t<Body&>> result;
            translated([&] { result.emplace(body()); });
            scope.succeeded(callText);
            return std::move(*result);
        }
    } catch (...) {
        scope.failed(callText());
    }
}
