#include "files/output_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace lep3::files {

namespace {

constexpr int kAttempts = 100;
constexpr size_t kRandomLetters = 12;

[[noreturn]] void fail(const std::string &what, const std::string &path, int err)
{
    throw FileError(what + " " + path + ": " + std::strerror(err));
}

void refuse_link(const std::string &what, const std::string &path)
{
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        throw FileError(what + " " + path + ": it is a symbolic link");
}

// ".NAME.<12 random letters>" in NAME's directory: hidden, and not guessable in advance.
std::string temporary_name(const std::string &final_path)
{
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char random[kRandomLetters];
    size_t got = 0;
    while (got < sizeof random) {
        const ssize_t n = ::getrandom(random + got, sizeof random - got, 0);
        if (n < 0 && errno != EINTR)
            fail("cannot create", final_path, errno);
        got += n > 0 ? static_cast<size_t>(n) : 0;
    }
    const std::filesystem::path p(final_path);
    std::string name(1, '.');
    name += p.filename().string();
    name += '.';
    for (const unsigned char r : random)
        name += kLetters[r % (sizeof kLetters - 1)];
    return (p.parent_path() / name).string();
}

} // namespace

Temporary create_beside(const std::string &final_path)
{
    refuse_link("cannot create", final_path);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        std::string path = temporary_name(final_path);
        lep3::link::Fd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd.valid())
            return Temporary{std::move(fd), std::move(path)};
        if (errno != EEXIST)
            fail("cannot create", final_path, errno);
    }
    fail("cannot create", final_path, EEXIST);
}

void publish(const std::string &temporary, const std::string &final_path, Existing existing)
{
    // A link planted between this look and the rename is replaced, not followed: rename
    // never follows a link at its target.
    refuse_link("cannot write", final_path);
    if (existing == Existing::replace) {
        if (::rename(temporary.c_str(), final_path.c_str()) != 0)
            fail("cannot write", final_path, errno);
        return;
    }
    if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, final_path.c_str(), RENAME_NOREPLACE) == 0)
        return;
    if (errno != EINVAL && errno != ENOSYS)
        fail("cannot create", final_path, errno);
    // A file system without the atomic rename: a hard link is refused just as atomically.
    if (::link(temporary.c_str(), final_path.c_str()) != 0)
        fail("cannot create", final_path, errno);
    (void)::unlink(temporary.c_str());
}

void write_file(const std::string &final_path, std::string_view bytes)
{
    Temporary t = create_beside(final_path);
    int err = 0;
    for (size_t done = 0; done < bytes.size() && err == 0;) {
        const ssize_t n = ::write(t.fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR)
            err = errno;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    if (::close(t.fd.release()) != 0 && err == 0)
        err = errno;
    try {
        if (err != 0)
            fail("cannot write", final_path, err);
        publish(t.path, final_path, Existing::replace);
    } catch (const FileError &) {
        (void)::unlink(t.path.c_str());
        throw;
    }
}

} // namespace lep3::files
