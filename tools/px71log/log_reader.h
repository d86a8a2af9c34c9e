// px71log: reads the ring-buffer log "PX71.LOG" and prints its header and records
// oldest first, or says what is wrong with a file that is not a sound log.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace px71log {

struct Options {
    std::optional<std::size_t> last;  // only the last N records
    bool report = false;              // only the records of the last diagnostic report
    std::string path = "PX71.LOG";
};

struct Output {
    int exit_code = 0;  // 0 sound, 1 damaged or unreadable, 2 bad command line
    std::string out;
    std::string err;
};

// One record as the reader found it.
struct Entry {
    std::size_t slot = 0;
    std::string text;     // the bytes before the zeros
    std::string problem;  // empty for a sound record
};

// The records of a log image in reading order, or the reason it is not a sound log.
struct Log {
    std::string created;
    std::size_t next_slot = 0;
    bool wrapped = false;
    std::vector<Entry> entries;
    std::vector<std::string> problems;  // damage that still lets the records be read
    std::string fatal;                  // damage that does not
};

Log Parse(const std::string& image, std::size_t file_size);
Output Render(const std::string& image, std::size_t file_size, const Options& options);
Output Run(const std::vector<std::string>& args);

} // namespace px71log
