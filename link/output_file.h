// Files the library writes for the host (captures, images) in directories that other
// users may share, such as /tmp: created so that nothing planted at the name can redirect
// the write.
#pragma once

#include <cstdio>
#include <memory>

namespace lep3::link {

struct FileCloser {
    void operator()(FILE *file) const { (void)std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// What fopen(path, "wb") gives (a new or truncated file, written through stdio), except
// that a symlink or anything but a regular file at the name is refused, and a new file is
// created readable by all but writable by its owner alone (0644, less the umask). Null
// when the file can't be created or is refused; the caller prints its own message.
File create_output_file(const char *path);

} // namespace lep3::link
