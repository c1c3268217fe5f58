#include "exec/winstation.h"

#include <aclapi.h>

#include "errors/format.h"
#include "errors/vexception.h"
#include "log/last_chance.h"
#include "log/logmanager.h"
#include "runtime/access_token.h"
#include "runtime/acl.h"
#include "runtime/handle.h"
#include "runtime/library.h"
#include "runtime/local_memory.h"
#include "runtime/sid.h"
#include "threads/cancelation.h"
#include "threads/sync.h"

namespace {

template <class Function>
Function* user32(const char* name) noexcept {
    return RunTime::systemFunction<Function>(L"user32.dll", name);
}

// A bound user32 function, or the raise of operation with the loader's error.
template <class Function>
Function* user32(const char* name, const std::wstring& operation, const char* function, int line) {
    Function* bound = user32<Function>(name);
    if (!bound) throwLastOsError([&] { return operation; }, function, line);
    return bound;
}

// The standard generic mappings of the two kinds of object; GenericAll is full access.
constexpr GENERIC_MAPPING kStationMapping{0x20303, 0x2001C, 0x20060, 0xF037F};
constexpr GENERIC_MAPPING kDesktopMapping{0x20041, 0x200BE, 0x20100, 0xF01FF};

struct WindowObject {
    HANDLE handle;
    GENERIC_MAPPING mapping;
    int readAttempts;
    std::wstring readFailure;
    std::wstring writeFailure;
    const char* function;
    int readLine;
    int writeLine;
    const wchar_t* alreadyFormat;
};

// Whether an entry of acl allows sid full access to the object itself. A
// deny or inherit-only entry grants nothing, whatever its mask.
bool allowsFullAccess(const RunTime::Acl& acl, PSID sid, GENERIC_MAPPING mapping) {
    for (int index = acl.findSid(sid); index >= 0; index = acl.findSid(sid, index + 1)) {
        const RunTime::Ace entry = acl.getAce(index);
        if (entry.type() != ACCESS_ALLOWED_ACE_TYPE || (entry.flags() & INHERIT_ONLY_ACE)) continue;
        ACCESS_MASK mask = entry.mask();
        MapGenericMask(&mask, &mapping);
        if ((mask & mapping.GenericAll) == mapping.GenericAll) return true;
    }
    return false;
}

void addAccess(const WindowObject& object, RunTime::Sid& sid) {
    PACL dacl = nullptr;
    RunTime::LocalMemory<void> descriptor;
    DWORD status = ERROR_SUCCESS;
    for (int attempt = 1;; ++attempt) {
        status = GetSecurityInfo(object.handle, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                 nullptr, descriptor.put());
        if (status == ERROR_SUCCESS) break;
        if (attempt == object.readAttempts)
            throwOsError(object.readFailure, status, raiseSite(object.function, object.readLine));
        cancellableSleep(200);
    }
    RunTime::Acl acl;
    if (dacl) {
        acl.copy(dacl);
    } else {
        // No DACL lets everyone in. An empty one would shut everyone out but
        // the one group: everyone keeps full access beside it.
        acl.add({RunTime::Ace::init(ACCESS_ALLOWED_ACE_TYPE, 0, GENERIC_ALL, RunTime::Sid::everyone().get())});
    }
    if (allowsFullAccess(acl, sid.get(), object.mapping)) {
        LogManager::instance().log(Info, object.alreadyFormat, sid.accountText());
        return;
    }
    acl.add({RunTime::Ace::init(ACCESS_ALLOWED_ACE_TYPE, 0, object.mapping.GenericAll, sid.get())});
    status = SetSecurityInfo(object.handle, SE_WINDOW_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, acl.get(),
                             nullptr);
    if (status != ERROR_SUCCESS) throwOsError(object.writeFailure, status, raiseSite(object.function, object.writeLine));
}

bool switchStation(HWINSTA station) noexcept {
    const auto set = user32<decltype(SetProcessWindowStation)>("SetProcessWindowStation");
    return set && set(station);
}

// Puts the process back on the station it was on; a failure there is ignored.
class StationRestore {
public:
    explicit StationRestore(HWINSTA previous) : previous_(previous) {}
    ~StationRestore() { switchStation(previous_); }
    StationRestore(const StationRestore&) = delete;
    StationRestore& operator=(const StationRestore&) = delete;

private:
    HWINSTA previous_;
};

// The station's DACL is the process's to change, not the impersonated
// user's: the thread stops impersonating for the grant and resumes after,
// also when the grant fails. Resuming is no destructor's job: a thread that
// cannot impersonate again must not go on unseen with the process's rights,
// so the failure is raised, in place of the grant's error if need be.
template <class Work>
void withImpersonationPaused(Work&& work) {
    static constexpr char kFunction[] = "RunTime::grantWinStationAccess";
    RunTime::AutoHandle token;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, token.put())) {
        const DWORD error = GetLastError();
        if (error != ERROR_NO_TOKEN) throwOsError(L"Unable to open a thread token", error, raiseSite(kFunction, __LINE__));
        return work();
    }
    if (!RevertToSelf()) throwLastOsError(L"RevertToSelf", kFunction, __LINE__);
    const auto resume = [&] {
        if (SetThreadToken(nullptr, token.get())) return;
        const DWORD error = GetLastError();
        // A cancellation cannot be replaced by an error, and the clean-ups
        // it still runs must not run with the process's rights: the process
        // ends, with a trace.
        if (ThreadCancelation::isCanceling())
            failFastWithTrace(L"Unable to resume impersonation while the thread is canceled (Error code " +
                              std::to_wstring(error) + L"): the process ends");
        throwOsError(L"Unable to resume impersonation", error, raiseSite(kFunction, __LINE__));
    };
    try {
        work();
    } catch (...) {
        resume();
        throw;
    }
    resume();
}

}  // namespace

namespace RunTime {

void WinStationTraits::close(HWINSTA station) noexcept {
    if (const auto close = user32<decltype(CloseWindowStation)>("CloseWindowStation")) close(station);
}

void DesktopTraits::close(HDESK desktop) noexcept {
    if (const auto close = user32<decltype(CloseDesktop)>("CloseDesktop")) close(desktop);
}

WinStation::WinStation(const std::wstring& name) : name_(name) {
    static constexpr const wchar_t* kOperation = L"Unable to open window station";
    const auto open = user32<decltype(OpenWindowStationW)>("OpenWindowStationW", kOperation,
                                                            "RunTime::WinStation::WinStation", 1271);
    opened_.reset(open(name.c_str(), FALSE, READ_CONTROL | WRITE_DAC));
    if (!opened_.valid()) throwLastOsError(kOperation, "RunTime::WinStation::WinStation", 1271);
}

WinStation::WinStation() {
    static constexpr const wchar_t* kOperation = L"Unable to get process window station";
    const auto get = user32<decltype(GetProcessWindowStation)>("GetProcessWindowStation", kOperation,
                                                                "RunTime::WinStation::WinStation", 1205);
    current_ = get();
    if (!current_) throwLastOsError(kOperation, "RunTime::WinStation::WinStation", 1205);
}

void WinStation::set() {
    if (!switchStation(handle())) throwLastOsError(L"Unable to set window station", "RunTime::WinStation::set", 1309);
}

void WinStation::addAccess(Sid& sid) {
    ::addAccess(WindowObject{handle(), kStationMapping, 6,
                             formatString(L"Unable to get a winstation (%s) security", name_),
                             formatString(L"Unable to set a winstation (%s) security", name_),
                             "RunTime::WinStation::addAccess", 1297, 1313,
                             L"Winstation already has required access for user %s"},
                sid);
}

Desktop::Desktop(const std::wstring& name) {
    static constexpr const wchar_t* kOperation = L"Unable to open desktop";
    const auto open = user32<decltype(OpenDesktopW)>("OpenDesktopW", kOperation, "RunTime::Desktop::Desktop", 1352);
    constexpr ACCESS_MASK kAccess = READ_CONTROL | WRITE_DAC | DESKTOP_READOBJECTS | DESKTOP_WRITEOBJECTS;
    desktop_.reset(open(name.c_str(), 0, FALSE, kAccess));
    if (!desktop_.valid()) throwLastOsError(kOperation, "RunTime::Desktop::Desktop", 1352);
}

void Desktop::addAccess(Sid& sid) {
    ::addAccess(WindowObject{handle(), kDesktopMapping, 1, L"Unable to get a desktop security",
                             L"Unable to set a desktop security", "RunTime::Desktop::addAccess", 1388, 1403,
                             L"Desktop already has required access for user %s"},
                sid);
}

const Sid& accountClassGroup(HANDLE token) {
    const std::vector<unsigned char> groups = Access::tokenGroups(token);
    for (const Sid* group : {&Sid::administrators(), &Sid::users(), &Sid::guests()})
        if (Access::holdsGroup(groups, group->get())) return *group;
    return Sid::users();
}

void grantWinStationAccess(HANDLE token, const std::wstring& stationName, const std::wstring& desktopName) {
    Sid group = accountClassGroup(token);
    withImpersonationPaused([&] {
        WinStation station(stationName);
        const WinStation previous;
        station.set();
        const StationRestore restore(previous.handle());
        Desktop desktop(desktopName);
        station.addAccess(group);
        desktop.addAccess(group);
    });
}

}  // namespace RunTime
