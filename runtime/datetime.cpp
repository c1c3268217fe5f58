#include "runtime/datetime.h"

#include <rpc.h>

#include "errors/format.h"

VDateTime::VDateTime(const FILETIME& time) : time_{} {
    if (!FileTimeToSystemTime(&time, &time_))
        throwLastOsError(L"FileTimeToSystemTime", "VDateTime::VDateTime", 24);
}

VDateTime VDateTime::localNow() {
    SYSTEMTIME time;
    GetLocalTime(&time);
    return VDateTime(time);
}

VDateTime VDateTime::utcNow() {
    SYSTEMTIME time;
    GetSystemTime(&time);
    return VDateTime(time);
}

int VDateTime::compare(const VDateTime& a, const VDateTime& b) noexcept {
    const WORD SYSTEMTIME::*const fields[] = {&SYSTEMTIME::wYear,   &SYSTEMTIME::wMonth,  &SYSTEMTIME::wDay,
                                              &SYSTEMTIME::wHour,   &SYSTEMTIME::wMinute, &SYSTEMTIME::wSecond,
                                              &SYSTEMTIME::wMilliseconds};
    for (const auto field : fields) {
        if (a.time_.*field < b.time_.*field) return -1;
        if (a.time_.*field > b.time_.*field) return 1;
    }
    return 0;
}

std::int64_t operator-(const VDateTime& a, const VDateTime& b) {
    FILETIME fa, fb;
    if (!SystemTimeToFileTime(&a.time_, &fa) || !SystemTimeToFileTime(&b.time_, &fb))
        throwLastOsError(L"SystemTimeToFileTime", "VDateTime::operator -", 56);
    const auto value = [](const FILETIME& f) {
        return static_cast<std::int64_t>((static_cast<std::uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime);
    };
    return value(fa) - value(fb);
}

std::wstring VDateTime::compactStamp() const {
    return formatString(L"%04d%02d%02dT%02d%02d%02d", int(time_.wYear), int(time_.wMonth), int(time_.wDay),
                        int(time_.wHour), int(time_.wMinute), int(time_.wSecond));
}

std::wstring VDateTime::logStamp(const std::wstring& dateSeparator) const {
    return formatString(L"%04d%s%02d%s%02d %02d:%02d:%02d.%03d", int(time_.wYear), dateSeparator,
                        int(time_.wMonth), dateSeparator, int(time_.wDay), int(time_.wHour), int(time_.wMinute),
                        int(time_.wSecond), int(time_.wMilliseconds));
}

std::wstring VDateTime::dateStamp() const {
    return formatString(L"%04d%02d%02d", int(time_.wYear), int(time_.wMonth), int(time_.wDay));
}

namespace RunTime {

std::wstring uniqueName(bool random) {
    UUID uuid;
    const RPC_STATUS created = random ? UuidCreate(&uuid) : UuidCreateSequential(&uuid);
    if (created != RPC_S_OK && created != RPC_S_UUID_LOCAL_ONLY)
        throwOsError(L"Unable to create GUID", static_cast<std::uint32_t>(created),
                     raiseSite("RunTime::uniqueName", 84));
    RPC_WSTR text = nullptr;
    const RPC_STATUS converted = UuidToStringW(&uuid, &text);
    if (converted != RPC_S_OK) {
        if (text) RpcStringFreeW(&text);
        throwOsError(L"Unable to create GUID", static_cast<std::uint32_t>(converted),
                     raiseSite("RunTime::uniqueName", 89));
    }
    std::wstring name;
    try {
        name = reinterpret_cast<const wchar_t*>(text);
    } catch (...) {
        RpcStringFreeW(&text);
        throw;
    }
    RpcStringFreeW(&text);
    return name;
}

}  // namespace RunTime
