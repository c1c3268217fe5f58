#include "crash/dump_settings.h"

#include "crash/crashdump.h"
#include "runtime/paths.h"
#include "runtime/registry.h"

CrashDumpSettings readCrashDumpSettings(HKEY configKey) {
    CrashDumpSettings settings;
    settings.maxCount = CrashDumpInfo::kDefaultMaxCount;
    DWORD value = CrashDumpInfo::kEnabledByDefault;
    registry::lookup(configKey, CrashDumpInfo::kEnabledValue, value);
    if (value == 0) return settings;
    std::wstring root;
    registry::lookup(configKey, registry::kProductRoot, root);
    if (root.empty()) return settings;
    std::wstring location = VFileName::combine(root, CrashDumpInfo::kDefaultLocation);
    const bool own = registry::lookup(configKey, CrashDumpInfo::kLocationValue, location) == ERROR_SUCCESS;
    value = settings.maxCount;
    registry::lookup(configKey, CrashDumpInfo::kMaxCountValue, value);
    settings.enabled = true;
    settings.location = std::move(location);
    settings.maxCount = value;
    if (!own) settings.root = std::move(root);
    return settings;
}

bool dumpNameFits(const std::wstring& location, const std::wstring& prefix) {
    constexpr std::size_t kTakenNameLength = 1 + 10 + 1 + 3;  // _<process id>_<count>
    return location.size() + 1 + prefix.size() + kDumpStampLength <= kLongestDumpPath &&
           VFileName::toLongPath(location).size() + 1 + prefix.size() + kDumpStampLength + kTakenNameLength <
               CrashDumpInfo::kPathCapacity;
}
