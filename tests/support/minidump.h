// What a crash dump holds: the header's flags (the dump type) and the exception stream's thread and code.
#pragma once

#include <windows.h>
#include <dbghelp.h>

#include <cstddef>
#include <string>

#include "tests/support/temp_dir.h"

namespace test_support {

struct DumpFacts {
    ULONG64 flags = 0;
    DWORD thread = 0, code = 0;  // 0 without an exception stream
    bool operator==(const DumpFacts&) const = default;
};

inline DumpFacts dumpFacts(const std::wstring& path) {
    const std::string bytes = readBytes(path);
    if (bytes.size() < sizeof(MINIDUMP_HEADER)) return {};
    const auto at = [&](std::size_t offset) { return *reinterpret_cast<const DWORD*>(bytes.data() + offset); };
    const auto& header = *reinterpret_cast<const MINIDUMP_HEADER*>(bytes.data());
    DumpFacts facts{header.Flags};
    for (DWORD i = 0; i < header.NumberOfStreams; ++i) {
        const auto& entry = reinterpret_cast<const MINIDUMP_DIRECTORY*>(bytes.data() + header.StreamDirectoryRva)[i];
        if (entry.StreamType != ExceptionStream) continue;
        facts.thread = at(entry.Location.Rva);
        facts.code = at(entry.Location.Rva + offsetof(MINIDUMP_EXCEPTION_STREAM, ExceptionRecord));
    }
    return facts;
}

}  // namespace test_support
