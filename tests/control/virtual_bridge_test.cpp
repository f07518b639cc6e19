// The write and usleep interposed for the in-thread bridge. Every call goes on to the
// next definition (the C library's or a sanitizer's) unless a bridge is installed and
// it is that thread's write to uart_fd or sleep.
#include <dlfcn.h>

#include "virtual_bridge.h"

namespace {

lep3::test::VirtualBridge *bridge_of_this_thread()
{
    lep3::test::VirtualBridge *bridge = lep3::test::active_bridge.load();
    return bridge != nullptr && std::this_thread::get_id() == lep3::test::bridge_thread ? bridge : nullptr;
}

} // namespace

extern "C" ssize_t write(int fd, const void *buf, size_t n)
{
    if (auto *bridge = bridge_of_this_thread(); bridge != nullptr && fd == uart_fd)
        return bridge->on_write(static_cast<const uint8_t *>(buf), n);
    static const auto next = reinterpret_cast<ssize_t (*)(int, const void *, size_t)>(dlsym(RTLD_NEXT, "write"));
    return next(fd, buf, n);
}

extern "C" int usleep(useconds_t us)
{
    if (auto *bridge = bridge_of_this_thread())
        return bridge->on_sleep(us), 0;
    static const auto next = reinterpret_cast<int (*)(useconds_t)>(dlsym(RTLD_NEXT, "usleep"));
    return next(us);
}
