#include "runtime/datetime.h"

#include <rpc.h>

#include "errors/format.h"
#include "runtime/library.h"

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
    // rpcrt4 is bound on first use: few processes ever need a name.
    using Create = RPC_STATUS RPC_ENTRY(UUID*);
    Create* create = systemFunction<Create>(L"rpcrt4.dll", random ? "UuidCreate" : "UuidCreateSequential");
    if (!create) throwLastOsError(L"Unable to create GUID", "RunTime::uniqueName", 84);
    UUID uuid;
    const RPC_STATUS created = create(&uuid);
    if (created != RPC_S_OK && created != RPC_S_UUID_LOCAL_ONLY)
        throwOsError(L"Unable to create GUID", static_cast<std::uint32_t>(created),
                     raiseSite("RunTime::uniqueName", 84));
    // The standard 36-character form, as UuidToString writes it.
    return formatString(L"%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", uuid.Data1, uuid.Data2, uuid.Data3,
                        uuid.Data4[0], uuid.Data4[1], uuid.Data4[2], uuid.Data4[3], uuid.Data4[4], uuid.Data4[5],
                        uuid.Data4[6], uuid.Data4[7]);
}

}  // namespace RunTime
