// The dump folder, and the list it gets when the agent makes it: a dump holds
// the agent's whole memory, with the task's environment and arguments.
#pragma once

#include <string>
#include <vector>

#include "runtime/security_descriptor.h"

namespace DumpFolder {

// SYSTEM and Administrators: full control here and below. Authenticated
// Users (every account that runs an agent): list the folder, add a file,
// traverse, read its attributes. CREATOR OWNER: full control of the files
// each account makes, so that each reads and trims its own dumps only.
// Protected: nothing of the parent's list (Users may read there) comes in.
std::vector<SecurityDescriptor::Entry> entries();

// Makes location, its missing parents as any folder and location itself with
// the list above; a folder that exists keeps the list its owner gave it.
// A missing folder is made only where root, when given, is an existing
// folder: nothing is made below a mistyped installation root.
void create(const std::wstring& location, const std::wstring& root);

}  // namespace DumpFolder
