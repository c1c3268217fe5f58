// Quoting of command-line arguments and masking of secrets in logged command lines.
#pragma once

#include <string>

// A token that CommandLineToArgvW and the C runtime read back as argument.
std::wstring quoteArgument(const std::wstring& argument);

// For display only: every argument re-quoted, the values of name=value
// arguments whose name mentions a password (in any letter case) as "*".
std::wstring maskSecrets(const std::wstring& commandLine);
