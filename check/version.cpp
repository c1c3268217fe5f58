// The version a file's version resource carries, read through the system's version functions.
#include "check/checks.h"

#include <vector>

#include "errors/format.h"

namespace Check {

std::wstring fileVersion(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    std::vector<BYTE> block(size);
    void* value = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
        return L"";
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    return formatString(L"%u.%u.%u", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
                        HIWORD(fixed->dwFileVersionLS));
}

}  // namespace Check
