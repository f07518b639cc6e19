// Test harness: the bridge emulator in a private temporary directory, the library
// pointed at it, initialised, and its reader and parser loops running.
#include "support/link_harness.h"

#include <pthread.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "lep3.h"

namespace lep3::test {

namespace {

pthread_t start(void *(*routine)(void *))
{
    pthread_t thread{};
    if (pthread_create(&thread, nullptr, routine, nullptr) != 0)
        throw std::runtime_error("pthread_create failed");
    return thread;
}

void stop(pthread_t thread)
{
    // The reader may already be gone (a firmware update cancels it): cancel reports
    // ESRCH only for a joined thread, so joining stays right either way.
    pthread_cancel(thread);
    pthread_join(thread, nullptr);
}

} // namespace

LinkHarness::LinkHarness(lep3::sim::Options options)
    : dir_((std::filesystem::temp_directory_path() / "lep3-link-XXXXXX").string())
{
    if (mkdtemp(dir_.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    if (options.path.empty())
        options.path = dir_ + "/ttyACM0";
    if (options.boot_path.empty())
        options.boot_path = dir_ + "/ttyACM1";
    sim_ = std::make_unique<lep3::sim::BridgeSim>(options);

    std::filesystem::create_directories(dir_ + "/mmcblk0");
    std::filesystem::create_directories(dir_ + "/sdcard");
    for (const auto &[which, path] : {std::pair{LEP3_PATH_UART, options.path},
                                      {LEP3_PATH_UART_ALT, options.boot_path},
                                      {LEP3_PATH_FIRMWARE_DIR, dir_ + "/mmcblk0"},
                                      {LEP3_PATH_SDCARD_DIR, dir_ + "/sdcard"},
                                      {LEP3_PATH_CAPTURE_DIR, dir_}})
        EXPECT_EQ(LEP3_SetPath(which, path.c_str()), 0);
    if (LEP3_Init() != 0) {
        ADD_FAILURE() << "LEP3_Init failed against the emulator at " << options.path;
        sim_.reset();
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        throw std::runtime_error("LEP3_Init failed");
    }
    reader_ = start(LEP3_Read_Thr);
    reader_joinable_ = true;
    parser_ = start(LEP3_Parse_Thr);
}

LinkHarness::~LinkHarness()
{
    stop_reader();
    stop(parser_);
    LEP3_Destroy();
    sim_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void LinkHarness::stop_reader()
{
    if (!reader_joinable_)
        return;
    stop(reader_);
    reader_joinable_ = false;
}

void LinkHarness::restart_reader()
{
    // The old reader may have been cancelled by the library; collect it before starting anew.
    stop_reader();
    reader_ = start(LEP3_Read_Thr);
    reader_joinable_ = true;
}

} // namespace lep3::test
