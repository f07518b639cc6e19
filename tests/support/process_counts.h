// What this process holds, counted as the kernel lists it (open descriptors and threads)
// or as the C library's heap does, to see that something left nothing behind.
#pragma once

#include <malloc.h>

#include <filesystem>

namespace lep3::test {

inline size_t entries_in(const char *dir)
{
    const std::filesystem::directory_iterator it(dir);
    return static_cast<size_t>(std::distance(begin(it), end(it)));
}
inline size_t open_descriptors()
{
    return entries_in("/proc/self/fd");
}
inline size_t running_threads()
{
    return entries_in("/proc/self/task");
}
inline size_t heap_in_use()
{
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

} // namespace lep3::test
