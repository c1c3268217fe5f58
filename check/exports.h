// The names a DLL exports, read from its file: the module is never loaded,
// so none of its code runs.
#pragma once

#include <string>
#include <vector>

namespace Check {

// The names of wanted that the 64-bit DLL at path does not export. A name
// forwarded to another DLL counts only when that DLL, beside path or in the
// system folder, exports it in turn (the loader resolves it there). Throws a
// vexception, in the operator's words, when the file is too large, no DLL, a
// 32-bit one, or its headers or export table lie outside it.
std::vector<std::string> missingExports(const std::wstring& path, const std::vector<std::string>& wanted);

}  // namespace Check
