#include "runtime/registry.h"

#include <cwchar>
#include <limits>
#include <vector>

#include "errors/vexception.h"

namespace registry {

namespace {

// Messages name a value by its path when it was looked up through a subkey.
std::wstring valuePath(const std::wstring* subKey, const std::wstring& name) {
    return subKey ? *subKey + L"\\" + name : name;
}

struct DwordRead {
    LSTATUS status = ERROR_SUCCESS;
    DWORD type = REG_NONE;
    DWORD size = sizeof(DWORD);
    DWORD data = 0;
};

// Into a local: on ERROR_MORE_DATA the buffer's content is undefined, and a
// rejected value must not reach the caller's variable either.
DwordRead queryDword(HKEY key, const std::wstring& name) noexcept {
    DwordRead read;
    read.status = RegQueryValueExW(key, name.c_str(), nullptr, &read.type, reinterpret_cast<BYTE*>(&read.data),
                                   &read.size);
    return read;
}

LSTATUS acceptDword(const DwordRead& read, DWORD& value, const std::wstring* subKey, const std::wstring& name) {
    if (read.status != ERROR_SUCCESS) return read.status;
    if (read.type != REG_DWORD)
        throw vexception(L"RegQueryValueEx invalid type of '" + valuePath(subKey, name) + L"'",
                         raiseSite("registry::lookup", __LINE__));
    if (read.size != sizeof(DWORD))
        throw vexception(L"RegQueryValueEx invalid size of '" + valuePath(subKey, name) + L"'",
                         raiseSite("registry::lookup", __LINE__));
    value = read.data;
    return ERROR_SUCCESS;
}

struct StringRead {
    LSTATUS status;
    DWORD type = REG_NONE;
    std::wstring text;
};

// Size first, then the data; a value that grew in between is reported, not retried.
// Without RRF_NOEXPAND the platform expands REG_EXPAND_SZ data.
StringRead queryString(HKEY key, const std::wstring& name) {
    DWORD size = 0;
    StringRead read{RegGetValueW(key, nullptr, name.c_str(), RRF_RT_ANY, nullptr, nullptr, &size)};
    if (read.status != ERROR_SUCCESS) return read;
    // One character more than asked for, so the buffer is never empty and an
    // odd byte count still fits.
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    read.status = RegGetValueW(key, nullptr, name.c_str(), RRF_RT_ANY, &read.type, buffer.data(), &size);
    if (read.status != ERROR_SUCCESS) return read;
    // Stored strings need not end in a zero; the returned size bounds the text.
    read.text.assign(buffer.data(), wcsnlen(buffer.data(), size / sizeof(wchar_t)));
    return read;
}

bool acceptsStringType(DWORD type, DWORD expected) noexcept {
    return type == expected || (expected == REG_SZ && type == REG_EXPAND_SZ) ||
           (expected == REG_EXPAND_SZ && type == REG_SZ);
}

LSTATUS acceptString(StringRead& read, std::wstring& value, DWORD expected, const std::wstring* subKey,
                     const std::wstring& name) {
    if (read.status != ERROR_SUCCESS) return read.status;
    if (!acceptsStringType(read.type, expected))
        throw vexception(L"RegGetValue invalid type of '" + valuePath(subKey, name) + L"'",
                         raiseSite("registry::lookup", __LINE__));
    value = std::move(read.text);
    return ERROR_SUCCESS;
}

// For the lookups that report a failure to open as their status.
LSTATUS openForQuery(HKEY root, const std::wstring& subKey, View view, Key& key) noexcept {
    return RegOpenKeyExW(root, subKey.c_str(), 0, KEY_QUERY_VALUE | accessFlag(view), key.put());
}

void setValue(HKEY key, const std::wstring& name, DWORD type, const void* data, std::size_t size) {
    LSTATUS status = ERROR_INVALID_PARAMETER;
    if (size <= std::numeric_limits<DWORD>::max())
        status = RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size));
    if (status != ERROR_SUCCESS)
        throwOsError(L"RegSetValueEx valueName=" + name, static_cast<std::uint32_t>(status),
                     raiseSite("registry::set", __LINE__));
}

}  // namespace

REGSAM accessFlag(View view) noexcept {
    switch (view) {
        case View::View32:
            return KEY_WOW64_32KEY;
        case View::View64:
        case View::Native:
            return KEY_WOW64_64KEY;
        default:
            return 0;
    }
}

Key::Key(HKEY root, const std::wstring& subKey, REGSAM access, bool openOnly)
    : Key(openOnly ? open(root, subKey, access) : create(root, subKey, access)) {}

Key create(HKEY root, const std::wstring& subKey, REGSAM access) {
    Key key;
    const LSTATUS status =
        RegCreateKeyExW(root, subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key.put(), nullptr);
    if (status != ERROR_SUCCESS)
        throwOsError(L"RegCreateKeyEx subKey=" + subKey, static_cast<std::uint32_t>(status),
                     raiseSite("registry::create", __LINE__));
    return key;
}

Key open(HKEY root, const std::wstring& subKey, REGSAM access) {
    Key key;
    const LSTATUS status = RegOpenKeyExW(root, subKey.c_str(), 0, access, key.put());
    if (status != ERROR_SUCCESS)
        throwOsError(L"RegOpenKeyEx subKey=" + subKey, static_cast<std::uint32_t>(status),
                     raiseSite("registry::open", __LINE__));
    return key;
}

LSTATUS lookup(HKEY key, const std::wstring& name, DWORD& value) {
    return acceptDword(queryDword(key, name), value, nullptr, name);
}

LSTATUS lookup(HKEY key, const std::wstring& name, std::wstring& value) {
    StringRead read = queryString(key, name);
    return acceptString(read, value, REG_SZ, nullptr, name);
}

LSTATUS lookup(HKEY root, const std::wstring& subKey, const std::wstring& name, DWORD& value, View view) {
    Key key;
    if (const LSTATUS status = openForQuery(root, subKey, view, key)) return status;
    const DwordRead read = queryDword(key.get(), name);
    key.close();
    return acceptDword(read, value, &subKey, name);
}

LSTATUS lookup(HKEY root, const std::wstring& subKey, const std::wstring& name, std::wstring& value,
               DWORD expectedType, View view) {
    Key key;
    if (const LSTATUS status = openForQuery(root, subKey, view, key)) return status;
    StringRead read = queryString(key.get(), name);
    key.close();
    return acceptString(read, value, expectedType, &subKey, name);
}

std::wstring getstr(HKEY root, const std::wstring& subKey, const std::wstring& name, View view) {
    std::wstring value;
    if (const LSTATUS status = lookup(root, subKey, name, value, REG_SZ, view))
        throwOsError(L"lookup subKey=" + subKey + L" value=" + name, static_cast<std::uint32_t>(status),
                     raiseSite("registry::getstr", __LINE__));
    return value;
}

std::wstring productRoot() { return getstr(HKEY_LOCAL_MACHINE, kConfigKey, kProductRoot, View::View32); }

DWORD dwordOrDefault(HKEY key, const std::wstring& name, DWORD defaultValue) noexcept {
    const DwordRead read = queryDword(key, name);
    return read.status == ERROR_SUCCESS && read.type == REG_DWORD && read.size == sizeof(DWORD) ? read.data
                                                                                                 : defaultValue;
}

bool keyExists(HKEY root, const std::wstring& subKey, View view) noexcept {
    Key key;
    return RegOpenKeyExW(root, subKey.c_str(), 0, READ_CONTROL | accessFlag(view), key.put()) == ERROR_SUCCESS;
}

bool valueExists(HKEY key, const std::wstring& name) noexcept {
    return RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

void set(HKEY key, const std::wstring& name, const std::wstring& value) {
    setValue(key, name, REG_SZ, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
}

void set(HKEY key, const std::wstring& name, DWORD value) { setValue(key, name, REG_DWORD, &value, sizeof value); }

RefreshedDword::RefreshedDword(std::wstring name)
    : RefreshedDword(HKEY_LOCAL_MACHINE, kConfigKey, std::move(name), View::View32) {}

RefreshedDword::RefreshedDword(HKEY root, std::wstring subKey, std::wstring name, View view)
    : root_(root), subKey_(std::move(subKey)), name_(std::move(name)), view_(view) {}

void RefreshedDword::refresh() {
    DWORD value = 0;
    if (lookup(root_, subKey_, name_, value, view_) == ERROR_SUCCESS) cache_.store(value, std::memory_order_relaxed);
}

bool RefreshedDword::isSet() noexcept {
    if ((queries_.fetch_add(1, std::memory_order_relaxed) & 0xF) == 0) {
        try {
            refresh();
        } catch (...) {
            return false;
        }
    }
    return cache_.load(std::memory_order_relaxed) != 0;
}

std::uint32_t RefreshedDword::valueOr(std::uint32_t defaultValue) noexcept {
    if (usable_.load(std::memory_order_relaxed) && (queries_.fetch_add(1, std::memory_order_relaxed) & 0xF) == 0) {
        try {
            refresh();
        } catch (...) {
            usable_.store(false, std::memory_order_relaxed);
        }
    }
    const std::uint32_t value = cache_.load(std::memory_order_relaxed);
    return value != 0 ? value : defaultValue;
}

bool debugEnabled() {
    static RefreshedDword setting(kDebug);
    return setting.isSet();
}

std::uint32_t pipeConnectTryCount(std::uint32_t defaultValue) {
    static RefreshedDword setting(kPipeConnectTryCount);
    return setting.valueOr(defaultValue);
}

}  // namespace registry
