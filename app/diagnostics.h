// The Diagnostics page's model: the device check in words (command 14), the report
// written with a title (command 4), and the log's records in ring order, read as
// px71log reads them.
#pragma once

#include "app/model.h"
#include "platform/win32.h"

#include <string>
#include <vector>

namespace px71app {

Notification CheckDevice(const Ask& ask);
// A title longer than the record holds is refused before anything is sent.
Notification WriteReport(const Ask& ask, const std::string& title);

struct LogView {
    std::vector<std::string> lines;  // the records, oldest first
    std::string problem;             // why the log could not be read whole; empty when sound
};
// Reads PX71.LOG at `path` while the service may be writing it.
LogView ReadLog(const WCHAR* path);

// Where the log's next record goes, to tell the records written after it.
struct LogMark {
    bool read = false;
    std::size_t next_slot = 0;
};
LogMark MarkLog(const WCHAR* path);
// The texts of the records written since `mark`, oldest first; none when the log could
// not be read then or now.
std::vector<std::string> RecordsSince(const WCHAR* path, const LogMark& mark);

} // namespace px71app
