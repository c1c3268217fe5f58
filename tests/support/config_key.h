// Values of the configuration key (HKEY_LOCAL_MACHINE, 32-bit view) set for
// the length of a test and put back as they were afterwards.
#pragma once

#include <windows.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "runtime/registry.h"

namespace test_config {

class ConfigValues {
public:
    ConfigValues() {
        const LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, registry::kConfigKey, 0, nullptr, 0,
                                               KEY_ALL_ACCESS | KEY_WOW64_32KEY, nullptr, &key_, nullptr);
        if (status != ERROR_SUCCESS) throw std::runtime_error("configuration key: " + std::to_string(status));
    }
    ~ConfigValues() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->data)
                RegSetValueExW(key_, it->name.c_str(), 0, it->type, it->data->data(),
                               static_cast<DWORD>(it->data->size()));
            else
                RegDeleteValueW(key_, it->name.c_str());
        }
        RegCloseKey(key_);
    }
    ConfigValues(const ConfigValues&) = delete;
    ConfigValues& operator=(const ConfigValues&) = delete;

    void set(const std::wstring& name, DWORD value) {
        save(name);
        RegSetValueExW(key_, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    }
    void set(const std::wstring& name, const std::wstring& value) {
        save(name);
        RegSetValueExW(key_, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }
    void remove(const std::wstring& name) {
        save(name);
        RegDeleteValueW(key_, name.c_str());
    }

private:
    struct Saved {
        std::wstring name;
        DWORD type = 0;
        std::optional<std::vector<BYTE>> data;
    };
    void save(const std::wstring& name) {
        Saved saved{name, 0, std::nullopt};
        DWORD size = 0;
        if (RegQueryValueExW(key_, name.c_str(), nullptr, &saved.type, nullptr, &size) == ERROR_SUCCESS) {
            saved.data.emplace(size);
            RegQueryValueExW(key_, name.c_str(), nullptr, &saved.type, saved.data->data(), &size);
        }
        saved_.push_back(std::move(saved));
    }

    HKEY key_ = nullptr;
    std::vector<Saved> saved_;
};

}  // namespace test_config
