// rdprovider: a stand-in tracing provider. Every call writes one line to standard output, unless RD_PROVIDER_QUIET is
// set; with RD_PROVIDER_FAULT set it faults (below). Built a second time without the injection export.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>
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

volatile std::uintptr_t g_badAddress = 0x18;

// RD_PROVIDER_FAULT: "annotate" and "tracer" fault there (the tracer as it is deleted), "string" in a frame with C++
// objects, "overflow" overflows the stack, "abort" calls abort(), anything else faults in a plain frame; all but the
// first two as the first span is made. Built without -fnon-call-exceptions, as a third party's DLL would be.
enum Place { AtSpan, AtAnnotate, AtTracer };

Place faultPlace(const wchar_t* kind) {
    return std::wcscmp(kind, L"annotate") == 0 ? AtAnnotate : std::wcscmp(kind, L"tracer") == 0 ? AtTracer : AtSpan;
}

__attribute__((noinline)) void plainFault() { *reinterpret_cast<volatile int*>(g_badAddress) = 1; }

// The string's clean-up gives the frame a handler of its own, which declines the fault. The fault comes before any
// call, where no entry of the frame's unwind tables covers it: a throw from there would end the process.
__attribute__((noinline)) void stringFault(const std::string& text) {
    *reinterpret_cast<volatile int*>(g_badAddress) = 1;
    const std::string line = "fault in " + text;
    say(line);
}

__attribute__((noinline)) int overflow(int depth) {
    volatile char pad[512];
    pad[depth % 512] = char(depth);
    return overflow(depth + 1) + pad[0];
}

void faultIf(Place place) {
    wchar_t kind[16] = L"";
    if (!GetEnvironmentVariableW(L"RD_PROVIDER_FAULT", kind, 16) || faultPlace(kind) != place) return;
    if (std::wcscmp(kind, L"string") == 0) stringFault(std::to_string(GetCurrentThreadId()));
    if (std::wcscmp(kind, L"overflow") == 0) overflow(0);
    if (std::wcscmp(kind, L"abort") == 0) std::abort();
    plainFault();
}

__attribute__((noinline)) void sayPair(const std::string& key, const std::string& value) { say(key + " = " + value); }

class StandInSpan final : public Span {
public:
    ~StandInSpan() override { say("end"); }
    bool isActive() override { return true; }
    void markFailed(const std::string& callText) override { say("failed " + callText); }
    // Nothing to clean up here either, for the same reason.
    void annotate(const std::string& key, const std::string& value) override {
        faultIf(AtAnnotate);
        sayPair(key, value);
    }
};

class StandInTracer final : public Tracer {
public:
    ~StandInTracer() override {
        faultIf(AtTracer);
        say("tracer deleted");
    }
};

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
    faultIf(AtSpan);
    return newSpan(operationName, line);
}

#ifndef RD_PROVIDER_PARTIAL
extern "C" __declspec(dllexport) void OpenTracingProviderInjectCurrentSpan(Tracer**) { say("inject"); }
#endif
