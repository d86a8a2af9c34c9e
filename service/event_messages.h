// The event IDs PX71Service reports under its source, as event_messages.mc gives them
// their text: the severity in the top two bits (warning: 2), facility 0, the code below.
#pragma once

#include <windows.h>

namespace px71service {

inline constexpr DWORD kEventNoEjectPrivilege = 0x80000001;
inline constexpr DWORD kEventNoSlotWatch = 0x80000002;

// Every ID the service reports: each must have its text in the message table.
inline constexpr DWORD kEventIds[] = {kEventNoEjectPrivilege, kEventNoSlotWatch};

// The event log's type for an ID, from its severity bits: success and informational
// (0, 1) are information, then warning (2) and error (3).
constexpr WORD EventType(DWORD id) noexcept
{
    constexpr WORD kTypes[4] = {EVENTLOG_INFORMATION_TYPE, EVENTLOG_INFORMATION_TYPE, EVENTLOG_WARNING_TYPE,
                                EVENTLOG_ERROR_TYPE};
    return kTypes[id >> 30];
}

static_assert(EventType(kEventNoEjectPrivilege) == EVENTLOG_WARNING_TYPE);
static_assert(EventType(kEventNoSlotWatch) == EVENTLOG_WARNING_TYPE);

} // namespace px71service
