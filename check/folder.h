// What this account may do in a folder, found without leaving anything
// behind.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace Check {

enum class FolderState { Missing, Folder, File };
FolderState folderState(const std::wstring& path);

// 0 when this account can create a file in folder (one is made and removed at
// once), else the error of the attempt.
DWORD fileCreationError(const std::wstring& folder);
// Whether this account's token is granted access to path (AccessCheck
// against its security descriptor); false when that cannot be read.
bool accessGranted(const std::wstring& path, DWORD access);
// path without its last component (a registry key's parent too); empty when
// it has none. Cut by hand: the path helpers would bring shlwapi, and with it
// user32, into the check.
std::wstring parentOf(const std::wstring& path);
// The nearest folder at or above path that exists; empty when none does.
std::wstring existingAncestor(const std::wstring& path);
// The nearest path at or above path that exists, a file or a folder; empty when none does.
std::wstring nearestExisting(const std::wstring& path);
// Whether a file made in folder would let every local user read it (the list
// it inherits, weighed by the system for a client holding Everyone, Users,
// Authenticated Users and INTERACTIVE). Unknown, with why, when the system
// cannot say.
enum class Readable { No, Yes, Unknown };
Readable everyUserMayReadNewFile(const std::wstring& folder, std::wstring& why);
// The system's text for error, without its line end.
std::wstring errorText(DWORD error);

}  // namespace Check
