// The library's version as the build names it.
#include "lep3.h"

extern "C" LEP3_API const char *LEP3_GetLibraryVersion(void)
{
    return LEP3_VERSION_TEXT;
}
