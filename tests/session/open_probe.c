/* A host in a process of its own: opens the bridge given on the command line and exits
 * with LEP3_Open's result, negated, after closing it again. */
#include <lep3.h>

int main(int argc, char **argv)
{
    if (argc != 2)
        return 100;
    LEP3_SetMessageHandler(0, 0);
    int result = LEP3_Open(argv[1]);
    LEP3_Close();
    return -result;
}
