// rdprovider: a stand-in tracing provider. Every call writes one line to
// standard output, unless RD_PROVIDER_QUIET is set. With RD_PROVIDER_FAULT
// set, the first span faults. Built a second time without the injection export.
#include <windows.h>

#include <cstdint>
#include <string>

#include "tracing/driver.h"

namespace {

using Span = OpenTracingDriver::ISpanContextProvider;
using Tracer = OpenTracingDriver::ITracer;

void say(const std::string& line) {
    // Benchmarks measure the provider's calls, not its output.
    static const bool quiet = GetEnvironmentVariableW(L"RD_PROVIDER_QUIET", nullptr, 0) != 0;
    if (quiet) return;
    DWORD written = 0;
    const std::string text = line + "\n";
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), DWORD(text.size()), &written, nullptr);
}

class StandInSpan final : public Span {
public:
    ~StandInSpan() override { say("end"); }
    bool isActive() override { return true; }
    void markFailed(const std::string& callText) override { say("failed " + callText); }
    void annotate(const std::string& key, const std::string& value) override { say(key + " = " + value); }
};

class StandInTracer final : public Tracer {
public:
    ~StandInTracer() override { say("tracer deleted"); }
};

volatile std::uintptr_t g_badAddress = 0x18;

__attribute__((noinline)) Span* newSpan(const std::string& operationName, std::int32_t line) {
    say("span " + operationName + " " + std::to_string(line));
    return new StandInSpan;
}

}  // namespace

extern "C" __declspec(dllexport) Tracer* OpenTracingProviderGetTracer() {
    say("tracer");
    return new StandInTracer;
}

extern "C" __declspec(dllexport) Span* OpenTracingProviderGetSpanContext(Tracer**, const std::string& operationName,
                                                                         std::int32_t line, const std::string&) {
    // No clean-up in this frame, so no handler of its own: the fault is the caller's.
    if (GetEnvironmentVariableW(L"RD_PROVIDER_FAULT", nullptr, 0)) *reinterpret_cast<volatile int*>(g_badAddress) = 1;
    return newSpan(operationName, line);
}

#ifndef RD_PROVIDER_PARTIAL
extern "C" __declspec(dllexport) void OpenTracingProviderInjectCurrentSpan(Tracer**) { say("inject"); }
#endif
