// Starting one of this build's programs from a test. A cross build runs its tests under an
// emulator (qemu-user), which can't start another foreign program by itself: the program
// is started through the same emulator then, and the process id is the emulator's, which
// passes signals on and exits with the program's status.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <sstream>
#include <string>
#include <vector>

extern char **environ;

namespace lep3::test {

// posix_spawnp's result for args (the program first).
inline int spawn_program(pid_t *pid, const std::vector<std::string> &args,
                         const posix_spawn_file_actions_t *actions = nullptr)
{
    std::vector<std::string> words;
#ifdef LEP3_TEST_EMULATOR
    std::istringstream emulator(LEP3_TEST_EMULATOR);
    for (std::string word; emulator >> word;)
        words.push_back(word);
#endif
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    return posix_spawnp(pid, argv[0], actions, nullptr, argv.data(), environ);
}

} // namespace lep3::test
