// File removal, with retries that a cancellation can interrupt and the
// volume's recycler directory as a way out for a busy file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One entry of a recycler directory's list: a SID string, its access mask and inheritance flags.
struct RecyclerEntry {
    std::wstring sid;
    std::uint32_t mask;
    std::uint32_t inheritance;
    bool operator==(const RecyclerEntry&) const = default;
};
// The list of "Recycler" and, holdsFiles, of the directory below it that holds the files.
std::vector<RecyclerEntry> recyclerEntries(bool holdsFiles);

// The volume's recycler directory for path, created on first use: anyone may
// move a file in and delete it there, only administrators and SYSTEM read it.
// One that another account made is refused; removeFile then goes on without it.
std::wstring recyclerPath(const std::wstring& path);
// Deletes path, or first moves it to the recycler (a busy file can move
// where it cannot be deleted). force takes ownership, grants delete access
// and clears read-only when access is denied; a failure is retried retries
// times after pause milliseconds. A missing file counts as removed. A
// junction or symbolic link is removed itself, never what it leads to.
void removeFile(const std::wstring& path, bool force, bool viaRecycler, std::int32_t retries, std::uint32_t pause);
