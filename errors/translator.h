// The structured-exception translator of guarded operations.
//
// MinGW's _set_se_translator has no effect and GCC's catch (...) does not see
// structured exceptions, so the translator is driven by a vectored exception
// handler: on a thread with a translator installed it redirects the faulting
// context into a function that calls the translator, which throws. Code built
// with -fnon-call-exceptions then unwinds through the faulting frame.
#pragma once

#include <windows.h>

#include <cstdint>

using StructuredTranslator = void (*)(std::uint32_t code, EXCEPTION_POINTERS* pointers);

// Never returns; throws cwrpexception holding code.
[[noreturn]] void translateStructuredException(std::uint32_t code, EXCEPTION_POINTERS* pointers);

// Per thread; returns the previous translator.
StructuredTranslator setStructuredTranslator(StructuredTranslator translator) noexcept;

// The translator writes a crash dump of every fault before it throws, but
// crash dumps belong to a layer above this one: that layer installs its
// writer here when it sets crash dumps up (crash/crashdump.cpp), and until
// then faults are translated without a dump. This setter is the translator's
// only tie to crash dumps. Process-wide within the module; null removes it.
using FaultDumpWriter = void (*)(std::uint32_t code, EXCEPTION_POINTERS* pointers);
void setFaultDumpWriter(FaultDumpWriter writer) noexcept;

class TranslatorScope {
public:
    TranslatorScope() noexcept : previous_(setStructuredTranslator(&translateStructuredException)) {}
    ~TranslatorScope() { setStructuredTranslator(previous_); }
    TranslatorScope(const TranslatorScope&) = delete;
    TranslatorScope& operator=(const TranslatorScope&) = delete;

private:
    StructuredTranslator previous_;
};
