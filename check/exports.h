// The names a DLL exports, read from its file: the module is never loaded,
// so none of its code runs.
#pragma once

#include <string>
#include <vector>

namespace Check {

// Throws a vexception when the file is no PE image or its export table lies
// outside it. A DLL without an export table exports nothing.
std::vector<std::string> exportedNames(const std::wstring& path);

}  // namespace Check
