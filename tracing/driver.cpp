#include "tracing/driver.h"

namespace {
class OpenTracingSpanContextNone final : public OpenTracingDriver::ISpanContextProvider {
public:
    bool isActive() override { return false; }
    void markFailed(const std::string&) override {}
    void annotate(const std::string&, const std::string&) override {}
};
}  // namespace

// Tracing is off until the provider driver is built; every span is a no-op span.
std::unique_ptr<OpenTracingDriver::ISpanContextProvider> OpenTracingDriver::StartSpan(const std::string&,
                                                                                      std::int32_t,
                                                                                      const std::string&) {
    return std::make_unique<OpenTracingSpanContextNone>();
}

void OpenTracingDriver::injectCurrentSpan() noexcept {}
