// The service's own figures, as a scraper expects of every program it watches: CPU time,
// memory, descriptors and the start time, read from /proc.
#pragma once

#include <optional>

namespace lep3tool::serve {

struct ProcessFigures {
    double cpu_seconds = 0; // user and system, all threads
    double resident_bytes = 0;
    double virtual_bytes = 0;
    double open_fds = 0;
    double max_fds = 0;            // the soft limit
    double start_time_seconds = 0; // since the Unix epoch
};

// This process's figures now, or nothing when /proc can't be read.
std::optional<ProcessFigures> process_figures();

} // namespace lep3tool::serve
