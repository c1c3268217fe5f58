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
// The accounts standing for every local user (Everyone, Users,
// Authenticated Users, INTERACTIVE) that the folder's list lets read it.
std::vector<std::wstring> everyUserReaders(const std::wstring& folder);
// The system's text for error, without its line end.
std::wstring errorText(DWORD error);

}  // namespace Check
