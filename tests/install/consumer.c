/* A host program as a user writes it against an installed library: built from the
 * installed header with the CMake package or the pkg-config file alone, it opens the
 * bridge named on its command line, reads a camera temperature and takes one raw frame. */
#include <stdio.h>

#include <lep3.h>

static int talk_to_camera(void)
{
    float fpa_celsius = 0;
    static uint16_t raw[19200];
    lep3_frame_info_t info;
    if (LEP3_GetSysFpaTemperatureCelcius(&fpa_celsius) != 0) {
        fprintf(stderr, "the camera did not answer\n");
        return 1;
    }
    const int rc = LEP3_GetRawVideo() == 0 ? LEP3_WaitFrame(raw, sizeof raw, &info, 10000) : -1;
    if (rc != 0) {
        fprintf(stderr, "no raw frame (%d)\n", rc);
        return 1;
    }
    if (info.width != 160 || info.height != 120 || info.format != 0 || info.size != sizeof raw) {
        fprintf(stderr, "frame of %ux%u, format %u, %u bytes\n", info.width, info.height, info.format, info.size);
        return 1;
    }
    printf("liblep3 %s: sensor at %.2f C, frame %u of %ux%u\n", LEP3_GetLibraryVersion(), fpa_celsius,
           info.frame_number, info.width, info.height);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
        return 2;
    }
    if (LEP3_Open(argv[1]) != 0) {
        fprintf(stderr, "cannot open the bridge at %s\n", argv[1]);
        return 1;
    }
    const int status = talk_to_camera();
    LEP3_Close();
    return status;
}
