// A calendar date-time held as a SYSTEMTIME; local or UTC as it was made.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class VDateTime {
public:
    VDateTime() : time_{} {}
    explicit VDateTime(const SYSTEMTIME& time) : time_(time) {}
    explicit VDateTime(const FILETIME& time);   // no time-zone change

    static VDateTime localNow();
    static VDateTime utcNow();

    const SYSTEMTIME& systemTime() const noexcept { return time_; }

    // -1, 0 or 1; the day of the week takes no part.
    static int compare(const VDateTime& a, const VDateTime& b) noexcept;
    friend bool operator<(const VDateTime& a, const VDateTime& b) noexcept { return compare(a, b) < 0; }
    friend bool operator==(const VDateTime& a, const VDateTime& b) noexcept { return compare(a, b) == 0; }
    // a - b in 100-nanosecond units.
    friend std::int64_t operator-(const VDateTime& a, const VDateTime& b);

    std::wstring compactStamp() const;                               // 20250203T140509
    std::wstring logStamp(const std::wstring& dateSeparator) const;  // 2025/02/03 14:05:09.042
    std::wstring dateStamp() const;                                  // 20250203

private:
    SYSTEMTIME time_;
};

namespace RunTime {
// A UUID in its 36-character string form; random or sequential.
std::wstring uniqueName(bool random);
}  // namespace RunTime
