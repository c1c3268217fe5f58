#include "threads/guard.h"

#include <comdef.h>

#include <exception>

#include "runtime/com.h"

GuardScope::GuardScope(const GuardedOperation& operation)
    : operation_(operation), span_(OpenTracingDriver::StartSpan(operation.fullName, operation.spanLine, "")) {}

void GuardScope::failed(const std::wstring& callText) {
    // A cancellation passes through untouched: the thread must still end.
    if (ThreadCancelation::isCanceling()) throw;
    const ErrorContext entry{callText, operation_.fullName, operation_.line};
    span_->markFailed(cstr(callText, 0));
    point_.close();
    rethrowWithContext(entry, span_.get());
}

void rethrowWithContext(const ErrorContext& entry, OpenTracingDriver::ISpanContextProvider* span) {
    const auto annotate = [span](const char* key, const std::string& value) {
        if (span) span->annotate(key, value);
    };
    try {
        throw;
    } catch (const std::exception& e) {
        annotate("std::exception", e.what());
        throw vexception(wstr(e.what(), 0), entry);
    } catch (vexception& e) {
        annotate("vexception", cstr(fullMessage(e), 0));
        e.addContext(entry);
        throw;
    } catch (const _com_error& e) {
        annotate("_com_error", cstr(comErrorMessage(e), 0));
        throw fromComError(e, entry.text, entry.function.c_str(), entry.line);
    } catch (const cwrpexception& e) {
        const std::wstring text = describeStructuredException(e);
        annotate("cwrpexception", cstr(text, 0));
        throw vexception(text, entry);
    } catch (...) {
        annotate("unknown", "...");
        throw vexception(L"Unexpected error", entry);
    }
}
