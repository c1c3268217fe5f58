#include "check/exports.h"

#include <windows.h>

#include <cstring>

#include "errors/vexception.h"
#include "runtime/files.h"

namespace Check {

namespace {

class Image {
public:
    Image(std::string bytes, const std::wstring& path) : bytes_(std::move(bytes)), path_(path) {}

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
    [[noreturn]] void fail() const {
        throw vexception(path_ + L" is no valid PE image", raiseSite("Check::exportedNames", __LINE__));
    }

private:
    std::string bytes_;
    std::wstring path_;
};

}  // namespace

std::vector<std::string> exportedNames(const std::wstring& path) {
    const Image image(VFile::readAll(path), path);
    if (image.at<IMAGE_DOS_HEADER>(0).e_magic != IMAGE_DOS_SIGNATURE) image.fail();
    const std::size_t headers = static_cast<std::size_t>(image.at<IMAGE_DOS_HEADER>(0).e_lfanew);
    const IMAGE_NT_HEADERS64 nt = image.at<IMAGE_NT_HEADERS64>(headers);
    // The tracing provider is a 64-bit DLL like the agent.
    if (nt.Signature != IMAGE_NT_SIGNATURE || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) image.fail();
    if (nt.OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_EXPORT) return {};
    const IMAGE_DATA_DIRECTORY directory = nt.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (directory.VirtualAddress == 0 || directory.Size == 0) return {};
    const std::size_t sections = headers + offsetof(IMAGE_NT_HEADERS64, OptionalHeader) + nt.FileHeader.SizeOfOptionalHeader;
    // An address of the loaded image as an offset in the file, through the section that holds it.
    const auto offsetOf = [&](DWORD address) -> std::size_t {
        for (WORD i = 0; i < nt.FileHeader.NumberOfSections; ++i) {
            const auto section = image.at<IMAGE_SECTION_HEADER>(sections + i * sizeof(IMAGE_SECTION_HEADER));
            const DWORD size = std::max(section.Misc.VirtualSize, section.SizeOfRawData);
            if (address >= section.VirtualAddress && address - section.VirtualAddress < size)
                return std::size_t{section.PointerToRawData} + (address - section.VirtualAddress);
        }
        image.fail();
    };
    const auto exports = image.at<IMAGE_EXPORT_DIRECTORY>(offsetOf(directory.VirtualAddress));
    std::vector<std::string> names;
    if (exports.NumberOfNames == 0) return names;
    const std::size_t table = offsetOf(exports.AddressOfNames);
    for (DWORD i = 0; i < exports.NumberOfNames; ++i)
        names.push_back(image.textAt(offsetOf(image.at<DWORD>(table + i * sizeof(DWORD)))));
    return names;
}

}  // namespace Check
