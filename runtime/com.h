// Owners of COM interface pointers and BSTRs, and the texts of COM errors.
// oleaut32 is bound on first use (runtime/library.h), so holding these costs
// a process nothing until COM is really used.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <string>
#include <utility>

#include "errors/vexception.h"
#include "runtime/library.h"

class _com_error;

// The text of a COM error as the platform's COM support formats it.
std::wstring comErrorMessage(const _com_error& e);
// The error as a vexception: its text, code and description, then callText.
vexception fromComError(const _com_error& e, const std::wstring& callText, const char* function,
                        std::int32_t line);

namespace RunTime {

// One reference to a COM object, released when reset or destroyed.
template <class T>
class ComPtr {
public:
    ComPtr() noexcept = default;
    explicit ComPtr(T* pointer) noexcept : p_(pointer) {}
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) reset(std::exchange(other.p_, nullptr));
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ~ComPtr() { reset(); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset(T* pointer = nullptr) noexcept {
        if (p_ && p_ != pointer) p_->Release();
        p_ = pointer;
    }
    T** put() noexcept {
        reset();
        return &p_;
    }
    void** putVoid() noexcept { return reinterpret_cast<void**>(put()); }

private:
    T* p_ = nullptr;
};

class Bstr {
public:
    Bstr() noexcept = default;
    Bstr(Bstr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { reset(); }

    // A copy of text; E_OUTOFMEMORY (or the failure to bind oleaut32) is
    // returned, never thrown, so COM callers can raise it their own way.
    static HRESULT make(const std::wstring& text, Bstr& output) noexcept {
        auto allocate = systemFunction<decltype(SysAllocStringLen)>(L"oleaut32.dll", "SysAllocStringLen");
        if (!allocate) return HRESULT_FROM_WIN32(GetLastError());
        BSTR copy = allocate(text.data(), static_cast<UINT>(text.size()));
        if (!copy) return E_OUTOFMEMORY;
        output.reset();
        output.p_ = copy;
        return S_OK;
    }

    BSTR get() const noexcept { return p_; }
    BSTR* put() noexcept {
        reset();
        return &p_;
    }
    std::wstring text() const {
        if (!p_) return std::wstring();
        // Whoever handed out a BSTR has oleaut32 loaded already.
        auto length = systemFunction<decltype(SysStringLen)>(L"oleaut32.dll", "SysStringLen");
        return length ? std::wstring(p_, length(p_)) : std::wstring(p_);
    }
    void reset() noexcept {
        if (!p_) return;
        if (auto release = systemFunction<decltype(SysFreeString)>(L"oleaut32.dll", "SysFreeString")) release(p_);
        p_ = nullptr;
    }

private:
    BSTR p_ = nullptr;
};

}  // namespace RunTime
