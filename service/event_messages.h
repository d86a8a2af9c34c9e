// The event IDs PX71Service reports under its source, as event_messages.mc gives them
// their text: the severity in the top two bits (warning: 2), facility 0, the code below.
#pragma once

#include <windows.h>

namespace px71service {

inline constexpr DWORD kEventNoEjectPrivilege = 0x80000001;

// Every ID the service reports: each must have its text in the message table.
inline constexpr DWORD kEventIds[] = {kEventNoEjectPrivilege};

// The event log's type for an ID, from its severity bits.
constexpr WORD EventType(DWORD id) noexcept
{
    switch (id >> 30) {
    case 3: return EVENTLOG_ERROR_TYPE;
    case 2: return EVENTLOG_WARNING_TYPE;
    default: return EVENTLOG_INFORMATION_TYPE;
    }
}

} // namespace px71service
