// The thin registry layer: a key owner, typed reads with strict type and size
// checks, writes, and the cached switches of the configuration key.
//
// Status results are the codes the registry functions return (0 success,
// 2 missing key or value, 234 value larger than asked for); a missing value is
// never an exception in a lookup. Type and size mismatches always throw.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "runtime/owner.h"

namespace registry {

// The panel's configuration, under HKEY_LOCAL_MACHINE and always in View32.
inline constexpr wchar_t kConfigKey[] = L"SOFTWARE\\Korvo\\QRT Config\\Config";
// The installation root and the product data directory, read by several parts.
inline constexpr wchar_t kProductRoot[] = L"PRODUCT_ROOT_D";
inline constexpr wchar_t kProductData[] = L"PRODUCT_DATA_D";
// The two cached switches (debugEnabled, pipeConnectTryCount).
inline constexpr wchar_t kDebug[] = L"Debug";
inline constexpr wchar_t kPipeConnectTryCount[] = L"PipeConnectTryCount";

enum class View { Default = 0, View32 = 1, View64 = 2, Native = 3 };

// The flag that selects view in an access mask; none for Default (and any
// unknown value), which leaves the process's own view, the 64-bit one.
REGSAM accessFlag(View view) noexcept;

struct KeyTraits {
    using Value = HKEY;
    static HKEY empty() noexcept { return nullptr; }
    static bool valid(HKEY key) noexcept { return key != nullptr; }
    static void close(HKEY key) noexcept { RegCloseKey(key); }
};

// The single owner of one open key.
class Key : public RunTime::Owner<KeyTraits> {
public:
    using Owner::Owner;
    Key() noexcept = default;
    // Opens subKey when openOnly, otherwise creates it when missing; a failure
    // throws as open or create do, and no key is owned.
    Key(HKEY root, const std::wstring& subKey, REGSAM access, bool openOnly);
};

// Both throw the registry's code (throwOsError).
Key create(HKEY root, const std::wstring& subKey, REGSAM access);
Key open(HKEY root, const std::wstring& subKey, REGSAM access);

// A DWORD through an open key. value changes only when 0 is returned.
LSTATUS lookup(HKEY key, const std::wstring& name, DWORD& value);
// A REG_SZ or REG_EXPAND_SZ (expanded) through an open key. value changes only when 0 is returned.
LSTATUS lookup(HKEY key, const std::wstring& name, std::wstring& value);
// As above through subKey, opened for the call; a failure to open is the status.
LSTATUS lookup(HKEY root, const std::wstring& subKey, const std::wstring& name, DWORD& value, View view);
// expectedType REG_SZ also accepts REG_EXPAND_SZ and the other way round.
LSTATUS lookup(HKEY root, const std::wstring& subKey, const std::wstring& name, std::wstring& value,
               DWORD expectedType, View view);

// A string that must exist: any non-zero status is thrown (throwOsError).
std::wstring getstr(HKEY root, const std::wstring& subKey, const std::wstring& name, View view);
// The installation root (kProductRoot in the configuration key), thrown as getstr throws.
std::wstring productRoot();
// The value when it is a 4-byte REG_DWORD, defaultValue in every other case.
DWORD dwordOrDefault(HKEY key, const std::wstring& name, DWORD defaultValue) noexcept;
bool keyExists(HKEY root, const std::wstring& subKey, View view) noexcept;
// Whether an open key holds a value called name, whatever its type.
bool valueExists(HKEY key, const std::wstring& name) noexcept;

// REG_SZ, terminating zero included, and REG_DWORD. Failures throw (throwOsError).
void set(HKEY key, const std::wstring& name, const std::wstring& value);
void set(HKEY key, const std::wstring& name, DWORD value);

// A DWORD setting consulted often: cached, and re-read on the 1st, 17th,
// 33rd ... query. A missing key or value keeps the cache. Each setting is
// queried through one of the two members only. Lock-free; concurrent queries
// may read the registry once more or once less than the rule says.
class RefreshedDword {
public:
    // The value name in the configuration key.
    explicit RefreshedDword(std::wstring name);
    RefreshedDword(HKEY root, std::wstring subKey, std::wstring name, View view);
    RefreshedDword(const RefreshedDword&) = delete;
    RefreshedDword& operator=(const RefreshedDword&) = delete;

    // Whether the cache is non-zero; false for a query whose read fails on a
    // wrongly typed value. Later reads go on.
    bool isSet() noexcept;
    // The cache when non-zero, else defaultValue. A read that fails on a wrongly
    // typed value ends reading for good: the setting then stays as it was.
    std::uint32_t valueOr(std::uint32_t defaultValue) noexcept;

private:
    void refresh();

    HKEY root_;
    std::wstring subKey_;
    std::wstring name_;
    View view_;
    std::atomic<std::uint32_t> queries_{0};
    std::atomic<std::uint32_t> cache_{0};
    std::atomic<bool> usable_{true};
};

// The "Debug" switch of the configuration key.
bool debugEnabled();
// "PipeConnectTryCount" of the configuration key; absent or 0 gives defaultValue.
std::uint32_t pipeConnectTryCount(std::uint32_t defaultValue);

}  // namespace registry
