// Quoting of command-line arguments and masking of secrets in logged command lines.
#pragma once

#include <optional>
#include <string>
#include <vector>

// A token that CommandLineToArgvW and the C runtime read back as argument.
std::wstring quoteArgument(const std::wstring& argument);

// The arguments that CommandLineToArgvW finds in commandLine, the first read
// as a program name; none for an empty line.
std::vector<std::wstring> splitCommandLine(const std::wstring& commandLine);

// The arguments of an argument text (what follows the program name): every
// token, the first included, read by the rules of arguments.
std::vector<std::wstring> splitArguments(const std::wstring& argumentText);

// For display only: every argument re-quoted, the values of name=value
// arguments whose name mentions a password (in any letter case) as "*".
// The display reads back, by the same splitter, as the same arguments with
// only those values replaced.
std::wstring maskSecrets(const std::wstring& commandLine);  // a whole command line
std::wstring maskArguments(const std::wstring& argumentText);
std::wstring maskArgument(const std::wstring& argument);    // one argument

// The display token of one argument whose name mentions a password (its
// values as "*"); nothing when the argument carries no secret.
std::optional<std::wstring> maskedSecret(const std::wstring& argument);
