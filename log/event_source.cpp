#include "log/event_source.h"

#include "log/logmanager.h"
#include "runtime/paths.h"

std::wstring eventLogKey() {
    return std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\") + LogManager::kEventLogName;
}

std::wstring eventSourceKey(const std::wstring& source) { return eventLogKey() + L"\\" + source; }

std::wstring eventMessageFile(const std::wstring& root) {
    return VFileName::combine(root, L"admin\\bin64\\eventmsg.dll");
}
