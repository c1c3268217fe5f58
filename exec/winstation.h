// Window stations and desktops, and the access a child started under another
// user's token needs to the interactive ones. user32 is bound on first use:
// the task run never needs it, and importing it costs every start.
#pragma once

#include <windows.h>

#include <string>

#include "runtime/owner.h"
#include "runtime/sid.h"

namespace RunTime {

struct WinStationTraits {
    using Value = HWINSTA;
    static HWINSTA empty() noexcept { return nullptr; }
    static bool valid(HWINSTA station) noexcept { return station != nullptr; }
    static void close(HWINSTA station) noexcept;
};

struct DesktopTraits {
    using Value = HDESK;
    static HDESK empty() noexcept { return nullptr; }
    static bool valid(HDESK desktop) noexcept { return desktop != nullptr; }
    static void close(HDESK desktop) noexcept;
};

class WinStation {
public:
    // The named station, opened to read and change its DACL.
    explicit WinStation(const std::wstring& name);
    // The process's current station; not closed, as the system asks.
    WinStation();

    void set();
    // Adds full access for sid unless it has it already.
    void addAccess(Sid& sid);
    HWINSTA handle() const noexcept { return opened_.valid() ? opened_.get() : current_; }

private:
    Owner<WinStationTraits> opened_;
    HWINSTA current_ = nullptr;
    std::wstring name_;
};

class Desktop {
public:
    // The named desktop of the process's current station.
    explicit Desktop(const std::wstring& name);

    void addAccess(Sid& sid);
    HDESK handle() const noexcept { return desktop_.get(); }

private:
    Owner<DesktopTraits> desktop_;
};

// The group a token's account class gets access through: Administrators,
// else Users, else Guests; Users for a token in none of them. Deny-only
// groups do not count.
const Sid& accountClassGroup(HANDLE token);

// Gives the token's account class full access to the station and its
// desktop, leaving the process on the station it was on.
void grantWinStationAccess(HANDLE token, const std::wstring& station, const std::wstring& desktop);

}  // namespace RunTime
