#include "app/diagnostics.h"

#include "platform/handles.h"
#include "tools/px71log/log_reader.h"

#include <cstring>

namespace px71app {
namespace {

// Far more than a sound log holds; a larger file is not read whole.
constexpr DWORD kMostLogBytes = 16u << 20;

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    if (at < text.size()) lines.push_back(text.substr(at));
    return lines;
}

} // namespace

Notification CheckDevice(const Ask& ask)
{
    PipeRequest request{};
    request.Command = PX71_CMD_CHECK_DEVICE;
    return Send(ask, request);
}

Notification WriteReport(const Ask& ask, const std::string& title)
{
    PipeRequest request{};
    if (title.size() >= sizeof request.LogTitle)
        return {false, "nothing was sent: a report's title is at most " + std::to_string(sizeof request.LogTitle - 1) +
                           " bytes, and this one has " + std::to_string(title.size())};
    request.Command = PX71_CMD_WRITE_LOG;
    std::memcpy(request.LogTitle, title.data(), title.size());
    return Send(ask, request);
}

namespace {

// The whole file, read while the service may be writing it; empty with `problem` set
// when it cannot be had.
std::string ReadImage(const WCHAR* path, std::string& problem)
{
    const px71::UniqueFile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        problem = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                      ? "no log yet: PX71Service writes PX71.LOG beside itself at its first record"
                      : "PX71.LOG cannot be opened (error " + std::to_string(error) + ")";
        return {};
    }
    const DWORD size = GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE || size > kMostLogBytes) {
        problem = "PX71.LOG is not a log: its size cannot be read, or it is larger than any log";
        return {};
    }
    std::string image(size, '\0');
    DWORD read = 0;
    if (size && (!ReadFile(file.get(), image.data(), size, &read, nullptr) || read != size)) {
        problem = "PX71.LOG cannot be read (error " + std::to_string(GetLastError()) + ")";
        return {};
    }
    return image;
}

} // namespace

LogView ReadLog(const WCHAR* path)
{
    LogView view;
    const std::string image = ReadImage(path, view.problem);
    if (!view.problem.empty()) return view;
    px71log::Options options;
    const px71log::Output output = px71log::Render(image, image.size(), options);
    view.lines = Lines(output.out);
    const auto problems = Lines(output.err);
    for (std::size_t i = 0; i < problems.size(); ++i) view.problem += (i ? "; " : "") + problems[i];
    return view;
}

LogMark MarkLog(const WCHAR* path)
{
    std::string problem;
    const std::string image = ReadImage(path, problem);
    if (!problem.empty()) return {problem.rfind("no log yet", 0) == 0, 1};  // a new log's first record goes to 1
    const px71log::Log log = px71log::Parse(image, image.size());
    if (!log.fatal.empty()) return {};
    return {true, log.next_slot};
}

std::vector<std::string> RecordsSince(const WCHAR* path, const LogMark& mark)
{
    std::vector<std::string> records;
    if (!mark.read) return records;
    std::string problem;
    const std::string image = ReadImage(path, problem);
    if (!problem.empty()) return records;
    const px71log::Log log = px71log::Parse(image, image.size());
    if (!log.fatal.empty() || log.next_slot == mark.next_slot) return records;
    // In reading order the new records run from the slot that was next up to the end.
    bool after = false;
    for (const px71log::Entry& entry : log.entries) {
        after = after || entry.slot == mark.next_slot;
        if (!after || !entry.problem.empty()) continue;
        std::string text = entry.text;
        while (!text.empty() && (text.front() == '\r' || text.front() == '\n')) text.erase(0, 1);
        records.push_back(std::move(text));
    }
    return records;
}

} // namespace px71app
