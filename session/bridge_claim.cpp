// Taking the bridge's device for this process alone: an advisory lock on the device that
// every session takes; a refusal names the holder where the kernel shows it.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "session/session_internal.h"

namespace lep3::session {

namespace {

// The process holding the lock on the device, as "process 1234 (name)", from the kernel's
// table of locks (/proc/locks: "1: FLOCK ADVISORY WRITE <pid> <major>:<minor>:<inode> ...");
// empty when it can't be seen.
std::string lock_holder(const struct stat &device)
{
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long inode = 0;
        long pid = 0;
        char kind[16] = {};
        if (std::sscanf(line.c_str(), "%*d: %15s %*s %*s %ld %x:%x:%lu", kind, &pid, &major, &minor, &inode) != 5)
            continue;
        if (std::strcmp(kind, "FLOCK") != 0 || inode != device.st_ino || major != ::major(device.st_dev) ||
            minor != ::minor(device.st_dev) || pid <= 0)
            continue;
        std::string name;
        std::ifstream("/proc/" + std::to_string(pid) + "/comm") >> name;
        return "process " + std::to_string(pid) + (name.empty() ? "" : " (" + name + ")");
    }
    return {};
}

// Who may use the device: its group when the group may read and write it (joining the group
// is then the remedy), otherwise its owner and mode.
std::string permission_hint(const char *path)
{
    struct stat st {};
    if (stat(path, &st) != 0)
        return {};
    if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
        const group *owner = getgrgid(st.st_gid);
        if (owner != nullptr)
            return std::string(" (the device belongs to group '") + owner->gr_name + "': add the user to that group)";
    }
    const passwd *user = getpwuid(st.st_uid);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string(" (the device belongs to ") +
           (user != nullptr ? "user '" + std::string(user->pw_name) + "'" : "user " + std::to_string(st.st_uid)) +
           ", mode " + mode + ", and its group may not use it)";
}

} // namespace

BridgeClaim claim_bridge(const char *path)
{
    BridgeClaim claim;
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        claim.result = -1;
        claim.reason = std::string("can't open ") + path + ": " + std::strerror(error);
        if (error == EACCES || error == EPERM)
            claim.reason += permission_hint(path);
        return claim;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        struct stat st {};
        fstat(fd, &st);
        const std::string holder = lock_holder(st);
        close(fd);
        claim.result = -7;
        claim.reason = std::string("the bridge at ") + path + " is in use" +
                       (holder.empty() ? std::string(" by another process") : " by " + holder);
        return claim;
    }
    if (isatty(fd) != 1) {
        // A plain file or a pipe would fail later in the terminal settings, less clearly.
        close(fd);
        claim.result = -1;
        claim.reason = std::string(path) + " is not a serial device";
        return claim;
    }
    claim.fd = fd;
    return claim;
}

} // namespace lep3::session
