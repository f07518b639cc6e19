// The serial port to the bridge: a raw, blocking, 8-bit terminal on which every byte
// value passes unchanged. The only file of the library that calls the terminal interface.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <iterator>

#include "link/console.h"
#include "link/link_internal.h"
#include "link/serial_port.h"

extern "C" {
LEP3_API extern const int32_t name_arr[12] = {230400, 115200, 57600, 38400, 19200, 9600,
                                              4800,   2400,   1800,  1200,  600,   300};
LEP3_API extern const int32_t speed_arr[12] = {B230400, B115200, B57600, B38400, B19200, B9600,
                                               B4800,   B2400,   B1800,  B1200,  B600,   B300};
}

namespace {

std::atomic<bool> session_opens{false};

} // namespace

void lep3::link::set_session_opens(bool session)
{
    session_opens.store(session, std::memory_order_relaxed);
}

extern "C" LEP3_API int open_uart(const char *path)
{
    // Blocking, and the device may become the controlling terminal: O_RDWR alone. A managed
    // session's opens keep the terminal from becoming the host's (a daemon would get SIGHUP
    // at every unplug).
    const int flags = session_opens.load(std::memory_order_relaxed) ? O_RDWR | O_NOCTTY : O_RDWR;
    const int fd = open(path, flags); // NOLINT(cppcoreguidelines-pro-type-vararg)
    if (fd < 0) {
        lep3::console::print("open %s failure\n", path);
        return -1;
    }
    return fd;
}

extern "C" LEP3_API void close_uart(int fd)
{
    if (fd >= 0)
        close(fd);
}

extern "C" LEP3_API int set_uart_speed(int fd, int speed)
{
    termios options{};
    tcgetattr(fd, &options); // result deliberately not examined: a failure shows in tcsetattr
    for (size_t i = 0; i < std::size(name_arr); ++i) {
        if (name_arr[i] != speed)
            continue;
        tcflush(fd, TCIOFLUSH);
        cfsetispeed(&options, static_cast<speed_t>(speed_arr[i]));
        cfsetospeed(&options, static_cast<speed_t>(speed_arr[i]));
        if (tcsetattr(fd, TCSANOW, &options) != 0) {
            lep3::console::print_errno("tcsetattr fd1");
            return -1;
        }
        tcflush(fd, TCIOFLUSH);
        return 0;
    }
    return -1;
}

namespace lep3::link {

int set_parity_flags(termios &options, int databits, int stopbits, int parity)
{
    options.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
    switch (databits) {
    case 7:
        options.c_cflag |= CS7;
        break;
    case 8:
        options.c_cflag |= CS8;
        break;
    default:
        lep3::console::write_error("Unsupported data size\n");
        return -1;
    }

    switch (parity) {
    case 'n':
    case 'N':
        options.c_cflag &= ~static_cast<tcflag_t>(PARENB);
        // The whole input word: no translation, no flow control, parity errors ignored.
        options.c_iflag = IGNPAR;
        break;
    case 'o':
    case 'O':
        options.c_cflag |= PARODD | PARENB;
        options.c_iflag |= INPCK;
        break;
    case 'e':
    case 'E':
        options.c_cflag |= PARENB;
        options.c_cflag &= ~static_cast<tcflag_t>(PARODD);
        options.c_iflag |= INPCK;
        break;
    case 's':
    case 'S':
        options.c_cflag &= ~static_cast<tcflag_t>(PARENB);
        options.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
        break;
    default:
        lep3::console::write_error("Unsupported parity\n");
        return -1;
    }

    switch (stopbits) {
    case 1:
        options.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
        break;
    case 2:
        options.c_cflag |= CSTOPB;
        break;
    default:
        lep3::console::write_error("Unsupported stop bits\n");
        return -1;
    }

    if (parity != 'n')
        options.c_iflag |= INPCK;

    options.c_cflag |= CLOCAL | CREAD | HUPCL;
    options.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
    options.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    options.c_cc[VTIME] = 0; // no inter-byte timer
    options.c_cc[VMIN] = 1;  // every read blocks until at least one byte is there
    return 0;
}

} // namespace lep3::link

extern "C" LEP3_API int set_Parity(int fd, int databits, int stopbits, int parity)
{
    termios options{};
    if (tcgetattr(fd, &options) != 0) {
        lep3::console::print_errno("SetupSerial 1");
        return -1;
    }
    // Nothing reaches the port unless every setting is accepted.
    if (lep3::link::set_parity_flags(options, databits, stopbits, parity) != 0)
        return -1;
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &options) != 0) {
        lep3::console::print_errno("SetupSerial");
        return -1;
    }
    return 0;
}
