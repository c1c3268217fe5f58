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

class TranslatorScope {
public:
    TranslatorScope() noexcept : previous_(setStructuredTranslator(&translateStructuredException)) {}
    ~TranslatorScope() { setStructuredTranslator(previous_); }
    TranslatorScope(const TranslatorScope&) = delete;
    TranslatorScope& operator=(const TranslatorScope&) = delete;

private:
    StructuredTranslator previous_;
};
