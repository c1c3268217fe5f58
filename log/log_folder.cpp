#include "log/log_folder.h"

#include "runtime/paths.h"
#include "runtime/registry.h"

std::wstring logSwitchName(const std::wstring& name) { return L"log_" + name + L"_enabled"; }

DWORD logFileSwitch(const std::wstring& name, DWORD enabledByDefault) {
    DWORD enabled = enabledByDefault;
    registry::lookup(HKEY_LOCAL_MACHINE, registry::kConfigKey, logSwitchName(name), enabled, registry::View::View32);
    return enabled;
}

std::wstring logFolder() {
    const std::wstring root = registry::productRoot();
    return VFileName::combine(root, kLogFolder);
}
