// Helpers shared by the update tests: a private firmware directory, image files built to
// order, and a count of the process's open descriptors.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "lep3.h"

namespace lep3::test {

inline size_t open_descriptor_count()
{
    size_t n = 0;
    for ([[maybe_unused]] const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

inline void write_file(const std::filesystem::path &path, const std::vector<uint8_t> &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> bytes_of(std::string_view text)
{
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Deterministic image data that is neither constant nor a simple ramp.
inline std::vector<uint8_t> image_data(size_t length, uint32_t seed = 7)
{
    std::vector<uint8_t> data(length);
    uint32_t x = seed;
    for (auto &byte : data) {
        x = x * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(x >> 24);
    }
    return data;
}

// A complete image file: header line "SAMG55;V<version>\r\n", then the data section.
inline std::vector<uint8_t> image_file(std::string_view version, const std::vector<uint8_t> &data)
{
    const std::string head = "SAMG55;V" + std::string(version) + "\r\n";
    std::vector<uint8_t> file(head.size() + data.size());
    std::copy(head.begin(), head.end(), file.begin());
    std::copy(data.begin(), data.end(), file.begin() + static_cast<std::ptrdiff_t>(head.size()));
    return file;
}

// A temporary directory set as the firmware directory for one test.
class FirmwareDir {
  public:
    FirmwareDir()
    {
        std::string templ = (std::filesystem::temp_directory_path() / "lep3-update-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr)
            ADD_FAILURE() << "mkdtemp failed";
        dir_ = templ;
        EXPECT_EQ(LEP3_SetPath(LEP3_PATH_FIRMWARE_DIR, dir_.c_str()), 0);
    }
    ~FirmwareDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    FirmwareDir(const FirmwareDir &) = delete;
    FirmwareDir &operator=(const FirmwareDir &) = delete;

    const std::filesystem::path &path() const { return dir_; }
    void put(const std::string &name, const std::vector<uint8_t> &bytes) const { write_file(dir_ / name, bytes); }

  private:
    std::filesystem::path dir_;
};

} // namespace lep3::test
