#include "serve/process_figures.h"

#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>

namespace lep3tool::serve {

namespace {

// The boot time in seconds since the epoch (the btime line of /proc/stat), which the
// start time in /proc/self/stat counts from; 0 when missing.
double boot_time()
{
    std::ifstream in("/proc/stat");
    for (std::string key; in >> key;) {
        if (key == "btime") {
            double t = 0;
            in >> t;
            return t;
        }
        in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    return 0;
}

double open_descriptors()
{
    std::error_code ec;
    const auto fds = std::filesystem::directory_iterator("/proc/self/fd", ec);
    if (ec)
        return 0;
    // The directory's own descriptor, open while it is read, is not the service's.
    return static_cast<double>(std::distance(fds, std::filesystem::directory_iterator())) - 1;
}

} // namespace

std::optional<ProcessFigures> process_figures()
{
    std::ifstream in("/proc/self/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold blanks and parentheses of its own: the
    // fields are counted from after its last ')', where field 3 (the state) starts.
    const size_t name_end = stat.rfind(')');
    if (name_end == std::string::npos)
        return std::nullopt;
    std::istringstream fields(stat.substr(name_end + 1));
    std::string field;
    // Fields 14, 15 (utime, stime) and 22 (starttime) in clock ticks, 23 (vsize) in bytes,
    // 24 (rss) in pages.
    double utime = 0, stime = 0, start_ticks = 0, vsize = 0, rss_pages = 0;
    for (int n = 3; n <= 24 && fields >> field; ++n) {
        const auto value = [&] { return std::stod(field); };
        if (n == 14)
            utime = value();
        else if (n == 15)
            stime = value();
        else if (n == 22)
            start_ticks = value();
        else if (n == 23)
            vsize = value();
        else if (n == 24)
            rss_pages = value();
    }
    if (!fields)
        return std::nullopt;
    const auto ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    ProcessFigures f;
    f.cpu_seconds = (utime + stime) / ticks;
    f.resident_bytes = rss_pages * static_cast<double>(sysconf(_SC_PAGESIZE));
    f.virtual_bytes = vsize;
    f.open_fds = open_descriptors();
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0)
        f.max_fds = limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<double>(limit.rlim_cur);
    f.start_time_seconds = boot_time() + start_ticks / ticks;
    return f;
}

} // namespace lep3tool::serve
