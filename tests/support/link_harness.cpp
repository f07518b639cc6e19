// Test harness: the bridge emulator in a private temporary directory, the library
// pointed at it, initialised, and its reader and parser loops running.
#include "support/link_harness.h"

#include <pthread.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lep3.h"

namespace lep3::test {

namespace {

std::string make_temp_dir()
{
    std::string templ = "/tmp/lep3-link-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return std::string(buf.data());
}

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

struct LinkHarness::Impl {
    std::string dir;
    std::unique_ptr<lep3::sim::BridgeSim> sim;
    pthread_t reader{};
    bool reader_joinable = false;
    pthread_t parser{};
};

LinkHarness::LinkHarness(lep3::sim::Options options)
{
    auto owned = std::make_unique<Impl>();
    Impl &s = *owned;
    s.dir = make_temp_dir();
    if (options.path.empty())
        options.path = s.dir + "/ttyACM0";
    if (options.boot_path.empty())
        options.boot_path = s.dir + "/ttyACM1";
    s.sim = std::make_unique<lep3::sim::BridgeSim>(options);

    const std::string firmware = s.dir + "/mmcblk0";
    const std::string sdcard = s.dir + "/sdcard";
    std::filesystem::create_directories(firmware);
    std::filesystem::create_directories(sdcard);
    EXPECT_EQ(LEP3_SetPath(LEP3_PATH_UART, options.path.c_str()), 0);
    EXPECT_EQ(LEP3_SetPath(LEP3_PATH_UART_ALT, options.boot_path.c_str()), 0);
    EXPECT_EQ(LEP3_SetPath(LEP3_PATH_FIRMWARE_DIR, firmware.c_str()), 0);
    EXPECT_EQ(LEP3_SetPath(LEP3_PATH_SDCARD_DIR, sdcard.c_str()), 0);
    EXPECT_EQ(LEP3_SetPath(LEP3_PATH_CAPTURE_DIR, s.dir.c_str()), 0);
    if (LEP3_Init() != 0) {
        ADD_FAILURE() << "LEP3_Init failed against the emulator at " << options.path;
        s.sim.reset();
        std::error_code ignored;
        std::filesystem::remove_all(s.dir, ignored);
        throw std::runtime_error("LEP3_Init failed");
    }
    s.reader = start(LEP3_Read_Thr);
    s.reader_joinable = true;
    s.parser = start(LEP3_Parse_Thr);
    impl_ = owned.release();
}

LinkHarness::~LinkHarness()
{
    Impl &s = *impl_;
    stop_reader();
    stop(s.parser);
    LEP3_Destroy();
    s.sim.reset();
    std::error_code ignored;
    std::filesystem::remove_all(s.dir, ignored);
    delete impl_;
}

lep3::sim::BridgeSim &LinkHarness::sim()
{
    return *impl_->sim;
}

pthread_t LinkHarness::reader() const
{
    return impl_->reader;
}

const std::string &LinkHarness::dir() const
{
    return impl_->dir;
}

void LinkHarness::stop_reader()
{
    if (!impl_->reader_joinable)
        return;
    stop(impl_->reader);
    impl_->reader_joinable = false;
}

void LinkHarness::restart_reader()
{
    // The old reader may have been cancelled by the library; collect it before starting anew.
    stop_reader();
    impl_->reader = start(LEP3_Read_Thr);
    impl_->reader_joinable = true;
}

} // namespace lep3::test
