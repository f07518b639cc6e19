// The recording reader that replay and inspect share, on any file: it opens it or refuses
// it with a ReadError, and every page it accepted reads whole, twice over (after a
// rewind), or fails with a ReadError; never a crash, a hang, a leak or a read outside
// its buffers. The input is the file's bytes, handed to the reader through a memory file.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "recording/reader.h"

namespace {

namespace rec = lep3::recording;

// One memory file for every input, reached by its path as the reader opens files.
int memory_file()
{
    static const int fd = memfd_create("recording", MFD_CLOEXEC);
    if (fd < 0) {
        std::perror("memfd_create");
        std::abort();
    }
    return fd;
}

void read_all(rec::RecordingReader &reader)
{
    std::vector<std::byte> values(rec::kPixels * sizeof(float));
    rec::PageInfo page;
    uint64_t pages = 0;
    while (reader.next(page, values))
        ++pages;
    if (pages != reader.pages()) {
        std::fprintf(stderr, "read %llu of %llu pages\n", static_cast<unsigned long long>(pages),
                     static_cast<unsigned long long>(reader.pages()));
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int fd = memory_file();
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
        std::abort();
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    try {
        rec::RecordingReader reader(path);
        read_all(reader);
        reader.rewind();
        read_all(reader);
    } catch (const rec::ReadError &) {
        // Refused, with a reason: what the reader is for.
    }
    return 0;
}
