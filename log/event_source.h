// Where the agent registers its event source and what it writes there. The
// log manager registers through these; rundock-check reads the same keys.
#pragma once

#include <string>

// The panel's own event log's key; its sources are subkeys of it (native view).
std::wstring eventLogKey();
std::wstring eventSourceKey(const std::wstring& source);
// The source's value naming the file that renders its events.
inline constexpr wchar_t kMessageFileValue[] = L"EventMessageFile";
// <root>\admin\bin64\eventmsg.dll
std::wstring eventMessageFile(const std::wstring& root);
