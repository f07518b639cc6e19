// Output files created without following a symlink planted at their name.
#include "link/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/fd.h"

namespace lep3::link {

namespace {

constexpr mode_t kNewFileMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH; // 0644

} // namespace

File create_output_file(const char *path)
{
    // O_NOFOLLOW refuses a symlink at the name; O_NONBLOCK keeps a FIFO planted there from
    // holding the open until a reader comes. Nothing is truncated before the file is
    // known to be a regular one.
    Fd fd(open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, kNewFileMode));
    if (!fd.valid())
        return nullptr;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return nullptr;
    const int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0 || ftruncate(fd.get(), 0) != 0)
        return nullptr;
    File file(fdopen(fd.get(), "wb"));
    if (file)
        (void)fd.release(); // the stream owns it now
    return file;
}

} // namespace lep3::link
