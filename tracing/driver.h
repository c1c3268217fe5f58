// The tracing driver: every guarded operation opens a span through it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class OpenTracingDriver {
public:
    class ISpanContextProvider {
    public:
        virtual ~ISpanContextProvider() = default;
        virtual bool isActive() = 0;
        virtual void markFailed(const std::string& callText) = 0;
        virtual void annotate(const std::string& key, const std::string& value) = 0;
    };

    // Never throws and never returns null.
    static std::unique_ptr<ISpanContextProvider> StartSpan(const std::string& operationName, std::int32_t line,
                                                           const std::string& extra);
    static void injectCurrentSpan() noexcept;
};
