// Values of the configuration key (HKEY_LOCAL_MACHINE, 32-bit view), or of another key, set for a test and put back
// as they were after it.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "runtime/registry.h"

namespace test_config {

class ConfigValues {
public:
    // The agent's view unless told otherwise (KEY_WOW64_64KEY: the one it does not read).
    explicit ConfigValues(REGSAM view = KEY_WOW64_32KEY, const wchar_t* key = registry::kConfigKey)
        : key_(HKEY_LOCAL_MACHINE, key, KEY_ALL_ACCESS | view, false) {}
    ~ConfigValues() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            it->present ? RegSetValueExW(key_.get(), it->name.c_str(), 0, it->type, it->data.data(), DWORD(it->data.size()))
                        : RegDeleteValueW(key_.get(), it->name.c_str());
    }

    template <class Value>
    void set(const std::wstring& name, const Value& value) {
        save(name);
        registry::set(key_.get(), name, value);
    }
    void remove(const std::wstring& name) {
        save(name);
        RegDeleteValueW(key_.get(), name.c_str());
    }

private:
    struct Saved {
        std::wstring name;
        bool present = false;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    void save(const std::wstring& name) {
        Saved& saved = saved_.emplace_back(Saved{name});
        DWORD size = 0;
        saved.present = RegQueryValueExW(key_.get(), name.c_str(), nullptr, &saved.type, nullptr, &size) == 0;
        saved.data.resize(size);
        RegQueryValueExW(key_.get(), name.c_str(), nullptr, &saved.type, saved.data.data(), &size);
    }

    registry::Key key_;
    std::vector<Saved> saved_;
};

}  // namespace test_config
