// Files a host creates for its user (pictures, temperature tables, recordings), made so
// that nobody else sharing the directory can redirect them: each is created under an
// unpredictable name beside its final one (O_CREAT | O_EXCL | O_NOFOLLOW, so no link or
// existing file is ever opened), and takes the final name once it is there; a symbolic
// link at the final name is refused, never followed.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "link/fd.h"

namespace lep3::files {

// A file that could not be created or given its name; the text names the final path and the cause.
class FileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A new, empty file beside final_path, open for reading and writing, and its name.
struct Temporary {
    lep3::link::Fd fd;
    std::string path;
};
// Throws FileError (a symbolic link at final_path is refused here already).
Temporary create_beside(const std::string &final_path);

enum class Existing { replace, refuse };
// Gives the temporary file final_path's name. A symbolic link there is refused; a file is
// replaced or refused as asked (refused atomically: nothing that appears meanwhile is
// replaced). Throws FileError; the temporary file is then left to the caller.
void publish(const std::string &temporary, const std::string &final_path, Existing existing);

// bytes into final_path through a temporary file, replacing a file of that name. Throws
// FileError; no temporary file is left behind.
void write_file(const std::string &final_path, std::string_view bytes);

} // namespace lep3::files
