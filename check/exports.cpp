#include "check/exports.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "check/folder.h"
#include "errors/vexception.h"
#include "runtime/files.h"

namespace Check {

namespace {

// The reader holds the whole file; a tracing provider is a few megabytes.
constexpr unsigned long long kLargestImage = 256ull << 20;
// The loader refuses more sections than this ("PE Format").
constexpr WORD kMostSections = 96;
// Forwarders are followed this far; a loop of them ends here.
constexpr int kMostForwards = 4;

class Image {
public:
    explicit Image(const std::wstring& path) : path_(path) {
        WIN32_FILE_ATTRIBUTE_DATA attributes{};
        if (GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes) &&
            (static_cast<unsigned long long>(attributes.nFileSizeHigh) << 32 | attributes.nFileSizeLow) > kLargestImage)
            throw vexception(path + L" is larger than 256 MB, too large for a DLL the agent loads",
                             raiseSite("Check::missingExports", __LINE__));
        try {
            bytes_ = VFile::readAll(path);
        } catch (const vosexception& e) {
            throw vexception(path + L" cannot be read (" + errorText(e.code()) + L")",
                             raiseSite("Check::missingExports", __LINE__));
        }
    }

    // A copy of the T at offset, which must lie inside the file.
    template <class T>
    T at(std::size_t offset) const {
        if (offset > bytes_.size() || bytes_.size() - offset < sizeof(T)) fail();
        T value;
        std::memcpy(&value, bytes_.data() + offset, sizeof(T));
        return value;
    }
    std::string textAt(std::size_t offset) const {
        if (offset >= bytes_.size()) fail();
        const std::size_t end = bytes_.find('\0', offset);
        if (end == std::string::npos) fail();
        return bytes_.substr(offset, end - offset);
    }
    [[noreturn]] void fail(const std::wstring& what = L"is no valid DLL: its headers or export table lie outside the "
                                                      L"file") const {
        throw vexception(path_ + L" " + what, raiseSite("Check::missingExports", __LINE__));
    }
    const std::wstring& path() const noexcept { return path_; }

private:
    std::wstring path_;
    std::string bytes_;
};

// The export table of a 64-bit DLL: whether it exports a name or an ordinal, and where a forwarder points.
class Exports {
public:
    explicit Exports(const std::wstring& path) : image_(path) {
        if (image_.at<IMAGE_DOS_HEADER>(0).e_magic != IMAGE_DOS_SIGNATURE) image_.fail(L"is no DLL");
        const std::size_t headers = static_cast<std::size_t>(image_.at<IMAGE_DOS_HEADER>(0).e_lfanew);
        if (image_.at<DWORD>(headers) != IMAGE_NT_SIGNATURE) image_.fail(L"is no DLL");
        const WORD magic = image_.at<WORD>(headers + offsetof(IMAGE_NT_HEADERS64, OptionalHeader));
        if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC)
            image_.fail(L"is a 32-bit DLL: the agent is a 64-bit program and loads only a 64-bit one");
        nt_ = image_.at<IMAGE_NT_HEADERS64>(headers);
        if (magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC || nt_.FileHeader.NumberOfSections > kMostSections) image_.fail();
        sections_ = headers + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt_.FileHeader.SizeOfOptionalHeader;
        if (nt_.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXPORT) return;
        directory_ = nt_.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        if (directory_.VirtualAddress == 0 || directory_.Size == 0) return;
        exports_ = image_.at<IMAGE_EXPORT_DIRECTORY>(offsetOf(directory_.VirtualAddress));
    }

    // Empty when not exported; "" when exported here; "module.name" (or "module.#ordinal") when forwarded.
    std::optional<std::string> find(const std::string& name) const {
        const std::size_t names = exports_.NumberOfNames ? offsetOf(exports_.AddressOfNames) : 0;
        for (DWORD i = 0; i < exports_.NumberOfNames; ++i)
            if (image_.textAt(offsetOf(image_.at<DWORD>(names + i * sizeof(DWORD)))) == name)
                return target(image_.at<WORD>(offsetOf(exports_.AddressOfNameOrdinals) + i * sizeof(WORD)));
        return std::nullopt;
    }
    std::optional<std::string> findOrdinal(DWORD ordinal) const {
        if (ordinal < exports_.Base || ordinal - exports_.Base >= exports_.NumberOfFunctions) return std::nullopt;
        return target(ordinal - exports_.Base);
    }
    const std::wstring& path() const noexcept { return image_.path(); }

private:
    std::optional<std::string> target(DWORD index) const {
        if (index >= exports_.NumberOfFunctions) image_.fail();
        const DWORD address = image_.at<DWORD>(offsetOf(exports_.AddressOfFunctions) + index * sizeof(DWORD));
        if (address == 0) return std::nullopt;
        // An address inside the export directory is a forwarder's text ("PE Format").
        if (address >= directory_.VirtualAddress && address - directory_.VirtualAddress < directory_.Size)
            return image_.textAt(offsetOf(address));
        return std::string();
    }
    // An address of the loaded image as an offset in the file, through the section that holds it.
    std::size_t offsetOf(DWORD address) const {
        for (WORD i = 0; i < nt_.FileHeader.NumberOfSections; ++i) {
            const auto section = image_.at<IMAGE_SECTION_HEADER>(sections_ + i * sizeof(IMAGE_SECTION_HEADER));
            const DWORD size = std::max(section.Misc.VirtualSize, section.SizeOfRawData);
            if (address >= section.VirtualAddress && address - section.VirtualAddress < size)
                return std::size_t{section.PointerToRawData} + (address - section.VirtualAddress);
        }
        image_.fail();
    }

    Image image_;
    IMAGE_NT_HEADERS64 nt_{};
    std::size_t sections_ = 0;
    IMAGE_DATA_DIRECTORY directory_{};
    IMAGE_EXPORT_DIRECTORY exports_{};
};

// Whether a forwarder's target ("module.name", "module.#ordinal") is there: the module beside from, or in the system
// folder, exporting it in turn.
bool forwardResolves(const std::string& forwarder, const std::wstring& from, int depth) {
    const std::size_t dot = forwarder.rfind('.');
    if (dot == std::string::npos || depth >= kMostForwards) return false;
    std::wstring module(forwarder.begin(), forwarder.begin() + dot);
    if (module.find(L'.') == std::wstring::npos) module += L".dll";
    wchar_t system[MAX_PATH] = {};
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    for (const std::wstring& folder : {parentOf(from), std::wstring(system, length)}) {
        const std::wstring path = folder + L"\\" + module;
        if (folderState(path) != FolderState::File) continue;
        try {
            const Exports exports(path);
            const std::string name = forwarder.substr(dot + 1);
            const std::optional<std::string> found =
                name.rfind('#', 0) == 0 ? exports.findOrdinal(std::strtoul(name.c_str() + 1, nullptr, 10))
                                        : exports.find(name);
            return found && (found->empty() || forwardResolves(*found, path, depth + 1));
        } catch (const vexception&) {
            return false;
        }
    }
    return false;
}

}  // namespace

std::vector<std::string> missingExports(const std::wstring& path, const std::vector<std::string>& wanted) {
    const Exports exports(path);
    std::vector<std::string> missing;
    for (const std::string& name : wanted) {
        const std::optional<std::string> found = exports.find(name);
        if (!found || !(found->empty() || forwardResolves(*found, path, 0))) missing.push_back(name);
    }
    return missing;
}

}  // namespace Check
