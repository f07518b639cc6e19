// The serial port layer's own declarations: the only header of the library that brings
// in the terminal interface.
#pragma once

#include <termios.h>

#include "lep3.h"

namespace lep3::link {

// Applies set_Parity's data bits, stop bits and parity (and the raw, blocking settings)
// to an attribute record without touching any port. 0, or -1 after printing why.
int set_parity_flags(termios &options, int databits, int stopbits, int parity);

} // namespace lep3::link
