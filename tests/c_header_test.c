/* Compiles the public header in a C translation unit and links against the shared
 * library only, so a C host can use the interface as it stands. */
#include <stdio.h>
#include <string.h>

#include "lep3.h"

int main(void)
{
    lep3_link_stats_t stats;
    frame_desc_t desc = {0, 0, 160, 120, 38400, 7};
    const uint8_t digits[] = "123456789";

    if (packet_crc8(digits, 9) != 0xA1) {
        fprintf(stderr, "packet_crc8 over 1..9 is not 0xA1\n");
        return 1;
    }
    if (LEP3_SetPath(LEP3_PATH_UART, "/dev/thermal0") != 0 || strcmp(LEP3_GetPath(LEP3_PATH_UART), "/dev/thermal0")) {
        fprintf(stderr, "LEP3_SetPath did not take a plain path\n");
        return 1;
    }
    if (LEP3_SetPath(7, "/x") != -3 || LEP3_GetLinkStats(NULL) != -5 || LEP3_GetLinkStats(&stats) != 0 ||
        LEP3_GetCommandTimeouts(NULL) != -5) {
        fprintf(stderr, "extension results are wrong\n");
        return 1;
    }
    if (sizeof(command_read_t) != 64 || sizeof(desc) != 24) {
        fprintf(stderr, "record sizes differ from the wire layout\n");
        return 1;
    }
    puts("C interface ok");
    return 0;
}
