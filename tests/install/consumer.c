/* A host program as a user writes it against an installed library: built from the
 * installed header with the CMake package or the pkg-config file alone, it opens the
 * bridge named on its command line, reads a camera temperature and takes one raw frame. */
#include <pthread.h>
#include <stdio.h>

#include <lep3.h>

static int talk_to_camera(void)
{
    float fpa_celsius = 0;
    static uint8_t frame[57600];
    uint32_t width = 0, height = 0, format = 0, size = 0, number = 0;
    if (LEP3_GetSysFpaTemperatureCelcius(&fpa_celsius) != 0) {
        fprintf(stderr, "the camera did not answer\n");
        return 1;
    }
    if (LEP3_GetRawVideo() != 0 || LEP3_GetFrameFromQueue(frame, &width, &height, &format, &size, &number) != 0) {
        fprintf(stderr, "no raw frame\n");
        return 1;
    }
    if (width != 160 || height != 120 || format != 0 || size != 38400) {
        fprintf(stderr, "frame of %ux%u, format %u, %u bytes\n", width, height, format, size);
        return 1;
    }
    printf("liblep3 %s: sensor at %.2f C, frame %u of %ux%u\n", LEP3_GetLibraryVersion(), fpa_celsius, number, width,
           height);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s DEVICE\n", argv[0]);
        return 2;
    }
    if (LEP3_SetPath(LEP3_PATH_UART, argv[1]) != 0 || LEP3_Init() != 0) {
        fprintf(stderr, "cannot open the bridge at %s\n", argv[1]);
        return 1;
    }
    pthread_t reader, parser;
    pthread_create(&reader, NULL, LEP3_Read_Thr, NULL);
    pthread_create(&parser, NULL, LEP3_Parse_Thr, NULL);
    const int status = talk_to_camera();
    /* The loops never return: cancel them, then let the library release the port. */
    pthread_cancel(reader);
    pthread_join(reader, NULL);
    pthread_cancel(parser);
    pthread_join(parser, NULL);
    LEP3_Destroy();
    return status;
}
