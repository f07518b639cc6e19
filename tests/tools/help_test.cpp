// Every help text of the tool fits a terminal of 80 columns.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>

#include <cstdio>

namespace {

// What a command line prints on standard output, and its exit status.
std::pair<int, std::string> output_of(const std::vector<std::string> &command)
{
    std::string line;
    for (const auto &word : command)
        line += "'" + word + "' ";
    FILE *pipe = popen((line + "2>/dev/null").c_str(), "r");
    std::string out;
    char buffer[4096];
    for (size_t n; pipe != nullptr && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

size_t characters(const std::string &line)
{
    size_t n = 0;
    for (const char c : line)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

TEST(HelpText, EveryLineFitsEightyColumns)
{
    for (const std::string name : {"", "info", "capture", "stream", "list", "ffc", "get", "set", "update", "view",
                                   "serve", "record", "inspect"}) {
        SCOPED_TRACE(name);
        std::vector<std::string> command = {LEP3_TOOL_PATH, "--help"};
        if (!name.empty())
            command.insert(command.begin() + 1, name);
        const auto [status, out] = output_of(command);
        if (status != 0 && (name == "record" || name == "inspect"))
            continue; // built without libtiff
        ASSERT_EQ(status, 0);
        std::istringstream text(out);
        for (std::string line; std::getline(text, line);)
            EXPECT_LE(characters(line), 80u) << line;
    }
}

} // namespace
