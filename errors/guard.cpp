#include "errors/guard.h"

#include <comdef.h>

#include <exception>

GuardScope::GuardScope(const GuardedOperation& operation)
    : operation_(operation), span_(OpenTracingDriver::StartSpan(operation.fullName, operation.spanLine, "")) {}

void GuardScope::failed(const std::wstring& callText) {
    // A cancellation passes through untouched: the thread must still end.
    if (ThreadCancelation::isCanceling()) throw;
    const ErrorContext entry{callText, operation_.fullName, operation_.line};
    span_->markFailed(cstr(callText, 0));
    point_.close();
    try {
        throw;
    } catch (const std::exception& e) {
        span_->annotate("std::exception", e.what());
        throw vexception(wstr(e.what(), 0), entry);
    } catch (vexception& e) {
        span_->annotate("vexception", cstr(fullMessage(e), 0));
        e.addContext(entry);
        throw;
    } catch (const _com_error& e) {
        span_->annotate("_com_error", cstr(comErrorMessage(e), 0));
        throw fromComError(e, callText, operation_.fullName, operation_.line);
    } catch (const cwrpexception& e) {
        const std::wstring text = describeStructuredException(e);
        span_->annotate("cwrpexception", cstr(text, 0));
        throw vexception(text, entry);
    } catch (...) {
        span_->annotate("unknown", "...");
        throw vexception(L"Unexpected error", entry);
    }
}
