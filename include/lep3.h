/*
 * lep3.h - host library for a 160 x 120 thermal camera core behind a USB serial bridge.
 *
 * Result codes
 *   0    success
 *   -1   request not written whole; general failure of initialisation, files, start-up sequence
 *   -2   no reply in time
 *   -3   argument out of range (also a palette number above 10)
 *   -5   null output pointer
 *   -9   the reply names another command ID
 *   -10  the bridge reports that the command failed
 *   The firmware update has its own codes -1 to -5 (see LEP3_UpdateSAMG55).
 *   The session section adds -6 (bridge gone) and -7 (bridge in use).
 *
 * Calling order
 *   LEP3_SetPath (optional) -> LEP3_Init -> start one thread on LEP3_Read_Thr and one on
 *   LEP3_Parse_Thr -> commands, video requests and frame reads in any order -> stop the
 *   threads -> LEP3_Destroy. After a firmware update call LEP3_Init again and start a new
 *   reader thread; the parser thread waits on the empty queue meanwhile.
 *
 * Thread safety
 *   Command transactions are serialised inside the library, so the host and the
 *   re-initialisation thread started after a camera reset never mix their replies.
 *   Frames are taken by one host thread only. Init/Destroy must not overlap the reader
 *   and parser threads. Conversions keep no state except the held ranges noted below,
 *   which are shared by all callers of the function that owns them.
 *
 * All buffers are the caller's: raw frames are 19 200 uint16_t (38 400 bytes), 8-bit
 * frames 19 200 bytes, RGB24 frames 57 600 bytes, temperature frames 19 200 floats.
 */
#ifndef LEP3_H
#define LEP3_H

#include <pthread.h>
#include <semaphore.h>
#include <stddef.h>
#include <stdint.h>

#if defined(LEP3_BUILDING_LIBRARY)
#define LEP3_API __attribute__((visibility("default")))
#else
#define LEP3_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------------------
 * Link: serial port, byte queue, packet parser, frame queue, lifecycle and video requests.
 * The reader and parser loops run in host threads; frames are taken newest first.
 * ------------------------------------------------------------------------------------- */

/* Frame descriptor: format 0 raw (38 400 bytes), 1 RGB24 (57 600 bytes). */
typedef struct frame_desc_t {
    uint32_t reserved;
    uint32_t format;
    uint32_t width;
    uint32_t height;
    uint32_t size;
    uint32_t frame_number;
} frame_desc_t;

/* Byte ring queue between the reader and the parser; one producer, one consumer. */
typedef struct cir_queue_t {
    uint8_t *storage;
    int32_t tail;
    int32_t head;
    int32_t count;
    int32_t capacity;
    sem_t lock;
} cir_queue_t;

/* Frame queue: four slots with latest-frame delivery. */
typedef struct frame_queue_t {
    uint8_t *slot[4];
    frame_desc_t slot_desc[4];
    int32_t write_pos;
    int32_t last_pos;
    int32_t count;
    int32_t capacity;
    sem_t lock;
} frame_queue_t;

/* Reply record shared by the parser and the one command transaction in flight (64 bytes).
 * state: 0 a reply is being received, 1 a request awaits its reply, 2 a reply is posted. */
typedef struct command_read_t {
    uint16_t command_id;
    int32_t type;
    int32_t state;
    int32_t data_len;
    uint8_t data[48];
} command_read_t;

/* Lifecycle and video requests. LEP3_Init opens the port without O_NOCTTY, so a host
 * that runs as a daemon (a session leader without a terminal) gets SIGHUP when the bridge
 * is unplugged: such a host ignores or handles SIGHUP (a managed session adds O_NOCTTY). A second LEP3_Init without
 * LEP3_Destroy first releases what the first one holds (port, byte queue, frame slots),
 * as LEP3_Destroy would, and then starts afresh; stop the loops first, as for
 * LEP3_Destroy. The same holds after a failed firmware update. LEP3_Destroy closes only
 * a port the library still holds: never twice, never one the firmware update closed.
 * The video requests, and every command, give -1 without writing when the library holds
 * no port (after LEP3_Destroy, or before LEP3_Init): uart_fd keeps its number, which may
 * name a file of the host's by then. */
LEP3_API int LEP3_Init(void);
LEP3_API void LEP3_Destroy(void);
LEP3_API int LEP3_GetRawVideo(void);
LEP3_API int LEP3_GetRGBVideo(void);

/* Serial port. */
LEP3_API extern const int32_t name_arr[12];
LEP3_API extern const int32_t speed_arr[12];
LEP3_API int open_uart(const char *path);
LEP3_API int set_uart_speed(int fd, int speed);
LEP3_API int set_Parity(int fd, int databits, int stopbits, int parity);
LEP3_API void close_uart(int fd);

/* Byte ring queue. dequeue_single and dequeue_multi wait (1 us polls) for bytes; on the
 * threads of the two loops below each poll sleeps 0.5 ms instead. */
LEP3_API int queue_init(cir_queue_t *queue, int32_t capacity);
LEP3_API int queue_is_empty(cir_queue_t *queue);
LEP3_API int queue_is_full(cir_queue_t *queue);
LEP3_API void queue_clear(cir_queue_t *queue);
LEP3_API int enqueue_single(cir_queue_t *queue, uint8_t byte);
LEP3_API uint8_t dequeue_single(cir_queue_t *queue);
LEP3_API void enqueue_multi(cir_queue_t *queue, const uint8_t *src, int32_t len);
LEP3_API int32_t dequeue_multi(cir_queue_t *queue, uint8_t *dst, int32_t len);

/* Packet parser. The two loops never return; their argument is ignored. A read that
 * brings no byte (an unplugged bridge) or fails is counted and followed by a 1 ms pause.
 * Every packet's check byte is compared with its CRC-8 and mismatches are counted in the
 * link statistics; no frame or reply is refused for one. A reply longer than the record
 * (length byte above 51) is skipped whole; only a third byte that is no reply type (above 2)
 * or a frame packet's start (AA 55 FF) ends the skip early. Once running on a thread,
 * either loop polls its queue with 0.5 ms sleeps, not 1 us ones. */
LEP3_API void *LEP3_Read_Thr(void *arg);
LEP3_API void *LEP3_Parse_Thr(void *arg);
/* Dallas/Maxim CRC-8 over len bytes: the check byte of every packet. */
LEP3_API uint8_t packet_crc8(const uint8_t *bytes, size_t len);

/* Frame queue. */
LEP3_API int frame_queue_init(frame_queue_t *queue, int32_t slot_size, int32_t height, int32_t width);
LEP3_API int frame_queue_is_empty(frame_queue_t *queue);
LEP3_API int frame_queue_is_full(frame_queue_t *queue);
LEP3_API int frame_enqueue(frame_queue_t *queue, const uint8_t *frame_data, const frame_desc_t *desc);
LEP3_API int frame_dequeue(frame_queue_t *queue, uint8_t **slot_out, frame_desc_t *desc_out);
LEP3_API void frame_queue_free(frame_queue_t *queue);
LEP3_API int LEP3_SendFrameToQueue(const uint8_t *frame_data, const frame_desc_t *desc);
/* Waits for a frame newer than the last one taken and copies it (desc size bytes) into
 * buffer, which must hold 57 600 bytes unless the host asked only for raw video. While
 * frame_dequeue waits, it polls with 0.5 ms sleeps. */
LEP3_API int LEP3_GetFrameFromQueue(uint8_t *buffer, uint32_t *width, uint32_t *height, uint32_t *format,
                                    uint32_t *size, uint32_t *frame_number);

/* Diagnostic capture loops: start routines whose result is the integer 0 after their
 * passes or -1 when the capture file can't be created, carried as (void *)(intptr_t). */
LEP3_API void *LEP3_Read_Test_Thr(void *arg);
LEP3_API void *LEP3_Save_Data_Test_Thr(void *arg);
LEP3_API void *LEP3_Parse_Test_Thr(void *arg);

/* Link state. Read by hosts for diagnosis; written by the library's threads. uart_fd is
 * 0 until LEP3_Init and keeps its number after the port is closed. */
LEP3_API extern int uart_fd;
LEP3_API extern cir_queue_t uart_queue;
LEP3_API extern frame_queue_t frame_queue;
LEP3_API extern frame_desc_t frame_desc;
LEP3_API extern uint32_t last_delivered;
LEP3_API extern command_read_t command_read;
LEP3_API extern int32_t parser_state;
LEP3_API extern int32_t packet_len;
LEP3_API extern int32_t switch_count;
LEP3_API extern int32_t command_buffer_index;
LEP3_API extern int32_t image_buffer_index;
LEP3_API extern uint8_t image_buffer[58560];
LEP3_API extern uint8_t tmp_image_buffer[57600];
LEP3_API extern uint16_t lepton_image[19200];
LEP3_API extern int32_t parser_i;
LEP3_API extern int32_t parser_j;
LEP3_API extern int32_t frame_assemble[3];
LEP3_API extern int32_t g_lepton_reset_flag;
LEP3_API extern uint8_t gray8_image[19200];

/* ---------------------------------------------------------------------------------------
 * Control: camera-core and bridge commands, polled runs, start-up parameters, radiometry.
 * Every command blocks its caller until the reply arrives or about 7 s have passed.
 * ------------------------------------------------------------------------------------- */

/* Region of interest, four 16-bit words sent in memory order. */
typedef struct lep3_roi_t {
    uint16_t start_col;
    uint16_t start_row;
    uint16_t end_col;
    uint16_t end_row;
} lep3_roi_t;

/* Camera status record; camera_status 0 = ready. */
typedef struct lep3_sys_status_t {
    uint32_t camera_status;
    uint16_t command_count;
    uint16_t reserved;
} lep3_sys_status_t;

/* Four 16-bit statistics words as the camera core delivers them. */
typedef struct lep3_stats_t {
    uint16_t word[4];
} lep3_stats_t;

/* FFC shutter-mode object, eight 32-bit words in the camera core's layout:
 * word 0 shutter mode (1 = automatic FFC), word 5 desired FFC period in ms. */
typedef struct lep3_ffc_shutter_mode_t {
    uint32_t word[8];
} lep3_ffc_shutter_mode_t;

/* RBFO parameter set for the radiometric conversion. */
typedef struct lep3_rbfo_t {
    uint32_t r;
    uint32_t b;
    uint32_t f;
    uint32_t o;
} lep3_rbfo_t;

/* SYS module. Getters return -5 for a null pointer and leave *out untouched on failure. */
LEP3_API int LEP3_RunSysPing(void);
LEP3_API int LEP3_GetSysStatus(lep3_sys_status_t *out);
LEP3_API int LEP3_GetSysFlirSerialNumber(uint64_t *out);
LEP3_API int LEP3_GetSysCameraUpTime(uint32_t *out);
/* Temperatures in degrees Celsius. */
LEP3_API int LEP3_GetSysAuxTemperatureCelcius(float *out);
LEP3_API int LEP3_GetSysFpaTemperatureCelcius(float *out);
LEP3_API int LEP3_GetSysTelemetryEnableState(uint32_t *out);
LEP3_API int LEP3_SetSysTelemetryEnableState(uint32_t value);
LEP3_API int LEP_RunFrameAverage(void);
LEP3_API int LEP3_GetSysFramesToAverage(uint32_t *out);
LEP3_API int LEP_SetSysFramesToAverage(uint32_t value);
LEP3_API int LEP_RunSysAverageFrames(uint32_t count);
LEP3_API int LEP3_GetSysSceneStatistics(lep3_stats_t *out);
LEP3_API int LEP3_GetSysSceneRoi(lep3_roi_t *out);
LEP3_API int LEP3_SetSysSceneRoi(lep3_roi_t roi);
LEP3_API int LEP3_GetSysThermalShutdownCount(uint16_t *out);
LEP3_API int LEP3_GetSysShutterPosition(int32_t *out);
LEP3_API int LEP3_SetSysShutterPosition(int32_t value);
LEP3_API int LEP3_GetSysFfcShutterModeObj(lep3_ffc_shutter_mode_t *out);
LEP3_API int LEP3_SetSysFfcShutterModeObj(lep3_ffc_shutter_mode_t obj);
/* Runs an FFC and polls its status (at most six polls, 100 ms apart). */
LEP3_API int LEP3_RunSysFFCNormalization(void);
LEP3_API int LEP3_GetSysFFCStatus(int32_t *out);
LEP3_API int LEP3_GetSysGainMode(uint32_t *out);
LEP3_API int LEP3_SetSysGainMode(uint32_t value);

/* AGC module. */
LEP3_API int LEP3_GetAgcEnableState(uint32_t *out);
LEP3_API int LEP3_SetAgcEnableState(uint32_t value);
LEP3_API int LEP3_GetAgcROI(lep3_roi_t *out);
LEP3_API int LEP3_SetAgcROI(lep3_roi_t roi);
LEP3_API int LEP3_GetAgcHistogramStatistics(lep3_stats_t *out);
LEP3_API int LEP_GetAgcCalcEnableState(uint32_t *out);
LEP3_API int LEP_SetAgcCalcEnableState(uint32_t value);
LEP3_API int LEP3_GetAgcHeqLinearPercent(uint16_t *out);
/* Sends the low 16 bits of value. */
LEP3_API int LEP3_SetAgcHeqLinearPercent(uint32_t value);

/* VID and OEM modules. */
LEP3_API int LEP3_GetVidPcolorLut(uint32_t *out);
LEP3_API int LEP3_SetVidPcolorLut(uint32_t value);
LEP3_API int LEP3_GetVidFreezeEnableState(uint32_t *out);
LEP3_API int LEP3_SetVidFreezeEnableState(uint32_t value);
LEP3_API int LEP3_GetVidVideoOutputFormat(uint32_t *out);
LEP3_API int LEP3_SetVidVideoOutputFormat(uint32_t value);
LEP3_API int LEP3_GetOemVideoOutputFormat(uint32_t *out);
LEP3_API int LEP3_SetOemVideoOutputFormat(uint32_t value);
LEP3_API int LEP3_GetOemUserDefaultsState(uint32_t *out);
LEP3_API int LEP3_RunOemUserDefaultsCopyToOtp(void);
LEP3_API int LEP3_RunOemUserDefaultsRestore(void);

/* RAD module and the bridge's own user RBFO set. */
LEP3_API int LEP3_GetRadRBFOInternal0(lep3_rbfo_t *out);
LEP3_API int LEP3_SetRadRBFOInternal0(uint32_t r, uint32_t b, uint32_t f, uint32_t o);
LEP3_API int LEP3_GetRadRBFOExternal0(lep3_rbfo_t *out);
LEP3_API int LEP3_SetRadRBFOExternal0(uint32_t r, uint32_t b, uint32_t f, uint32_t o);
LEP3_API int LEP3_GetRadEnableState(uint32_t *out);
LEP3_API int LEP3_SetRadEnableState(uint32_t value);
/* Runs a radiometric FFC and polls its status (at most six polls, 100 ms apart). */
LEP3_API int LEP3_RunRadFFC(void);
LEP3_API int LEP3_GetRadRunStatus(int32_t *out);
LEP3_API int LEP3_GetUserRBFO(lep3_rbfo_t *out);
LEP3_API int LEP3_SetUserRBFO(uint32_t r, uint32_t b, uint32_t f, uint32_t o);

/* Start-up parameters: wait for the camera, radiometry on when mode is 1, automatic FFC
 * every 180 000 ms. 0 or -1. LEP3_Daemon_Thr runs it with mode 1 and returns NULL. */
LEP3_API int LEP3_SetInitParameter(int32_t mode);
LEP3_API void *LEP3_Daemon_Thr(void *arg);

/* Radiometry: T = 1428 / ln(R / (S - O) + 1) kelvin. */
/* The centre block: the mean raw value of the 6 x 6 pixels of rows 57-62, columns 77-82
 * (not the centre pixel, row 60 column 80, that the hosts report as "centre"). */
LEP3_API uint32_t LEP3_GetCenterPixel(const uint16_t *raw);
/* Quick spot value only: integer R / (pixel - O) steps 0.5 K at 20 C and 2 K at 100 C, always high. */
LEP3_API float LEP3_GetPixelTemp(uint32_t pixel, uint32_t r, uint32_t o);
/* Any thread, no heap: one process-wide table of the kelvin of each raw value, rebuilt
 * when R or O change; a call that finds it in use computes pixel by pixel instead. */
LEP3_API int LEP3_LuxToKelvin(const uint16_t *raw, float *temps, int32_t r, int32_t o);
LEP3_API int LEP3_KelvinToCelsius(float *temps);
/* Colours a temperature frame; holdRange 0 finds and holds the frame's range, any other
 * value reuses the held range. One thread at a time. */
LEP3_API int LEP3_KelvinToRGB(const float *temps, uint8_t *rgb24, uint32_t palette, float *maxOut, uint16_t *minOut,
                              uint8_t holdRange);
LEP3_API extern float held_temp_max;
LEP3_API extern float held_temp_min;

/* ---------------------------------------------------------------------------------------
 * Render: raw to 8-bit with a 3 x 3 median filter, palettes, colourisation, image files.
 * Palette numbers 0..10: fusion, rainbow, globow, icefire, ironblack, whitehot,
 * blackhot, rain, iron, greyred, grayfusion.
 * ------------------------------------------------------------------------------------- */

/* holdRange 0 finds and holds the frame's range, any other value reuses it. Returns 0. */
LEP3_API int Gray14ToGray8(const uint16_t *raw, uint8_t *gray8, uint16_t *maxOut, uint16_t *minOut, uint8_t holdRange);
LEP3_API int Gray14ToGray8WithUserSetPalette(const uint16_t *raw, uint8_t *gray8, uint32_t userMax, uint32_t userMin);
LEP3_API extern uint32_t held_range_max;
LEP3_API extern uint32_t held_range_min;

/* Palette generators write 768 bytes (256 x R, G, B) to dst; the large one 49 152. */
LEP3_API void generate_pallette_fusion_256(uint8_t *dst);
LEP3_API void generate_pallette_globow_256(uint8_t *dst);
LEP3_API void generate_pallette_icefire_256(uint8_t *dst);
LEP3_API void generate_pallette_grayfusion_256(uint8_t *dst);
LEP3_API void generate_pallette_whitehot_256(uint8_t *dst);
LEP3_API void generate_pallette_blackhot_256(uint8_t *dst);
LEP3_API void generate_pallette_rainbow_256(uint8_t *dst);
LEP3_API void generate_pallette_ironblack_256(uint8_t *dst);
LEP3_API void generate_pallette_maplin_256(uint8_t *dst);
LEP3_API void generate_pallette_maplog_256(uint8_t *dst);
LEP3_API void generate_pallette_glowbow_256(uint8_t *dst);
LEP3_API void generate_pallette_greyred_256(uint8_t *dst);
LEP3_API void generate_pallette_iron_256(uint8_t *dst);
LEP3_API void generate_pallette_midgreen_256(uint8_t *dst);
LEP3_API void generate_pallette_rain_256(uint8_t *dst);
LEP3_API void generate_pallette_yellow_256(uint8_t *dst);
LEP3_API int generate_pallette_16384(uint8_t *dst);

/* Palette tables filled by LEP3_Init. */
LEP3_API extern uint8_t RGB24_pallette_fusion_256[768];
LEP3_API extern uint8_t RGB24_pallette_rainbow_256[768];
LEP3_API extern uint8_t RGB24_pallette_globow_256[768];
LEP3_API extern uint8_t RGB24_pallette_icefire_256[768];
LEP3_API extern uint8_t RGB24_pallette_ironblack_256[768];
LEP3_API extern uint8_t RGB24_pallette_whitehot_256[768];
LEP3_API extern uint8_t RGB24_pallette_blackhot_256[768];
LEP3_API extern uint8_t RGB24_pallette_rain_256[768];
LEP3_API extern uint8_t RGB24_pallette_iron_256[768];
LEP3_API extern uint8_t RGB24_pallette_greyred_256[768];
LEP3_API extern uint8_t RGB24_pallette_grayfusion_256[768];

/* Colourisation: 0, or -3 for a palette above 10 (output untouched). */
LEP3_API int Gray8ToRGB24(const uint8_t *gray8, uint8_t *rgb24, uint32_t palette);
/* Uses the middle quarter, half or whole palette by the scene's span, switching after five
 * agreeing calls. One thread at a time. */
LEP3_API int Gray8ToRGB24WithTemp(const uint8_t *gray8, uint8_t *rgb24, uint32_t forceFull, int32_t maxTemp,
                                  int32_t minTemp, int32_t lowSpan, int32_t highSpan, uint32_t palette);
LEP3_API extern int32_t span_history[5];
LEP3_API extern int32_t span_state;

/* Image files: plain copies of the buffer, 0 or -1. Like the diagnostic capture files,
 * they are created without following a symlink at their name: a symlink or anything but
 * a regular file there fails as a file that can't be created. New files are 0644 less
 * the umask. */
LEP3_API int saveGray8ImageFile(const uint8_t *gray8, int32_t number);
LEP3_API int saveRGB24ImageFile(const uint8_t *rgb24);
LEP3_API int saveImageFile(const uint16_t *raw, frame_desc_t desc);
LEP3_API int saveImageIncludePacketHead(const uint8_t *packet_data, int32_t number);
/* Takes the next raw frame from the frame queue into RAW14_<n>.tiff in the sdcard dir;
 * an RGB frame or a failed frame read gives -1 and leaves no file. */
LEP3_API int LEP3_SaveRaw14TiffImage(void);

/* ---------------------------------------------------------------------------------------
 * Update: firmware image file, bridge version and restart, bootloader transfer, progress.
 * The update blocks its caller; other threads follow it through LEP3_GetUpdateRate.
 * ------------------------------------------------------------------------------------- */

/* Name of the first firmware image in the firmware dir, or NULL. Valid until the next call. */
LEP3_API char *search_firmware(void);
LEP3_API int LEP3_GetSAMG55FileVersion(uint32_t *version);
LEP3_API int LEP3_GetFirmwareVersion(uint32_t *version);
LEP3_API int LEP3_RebootSAMG55(void);
LEP3_API int send_update_file(const uint8_t *image, uint32_t len);
LEP3_API int update_flow(void);
/* 0 on success; -1 RBFO read, -2 restart, -3 transfer, -4 new device, -5 RBFO restore.
 * The devices it opens count only with a descriptor above 0; a 0 (the host closed its
 * standard input) is kept open until the attempts end, so the next open gets a real one.
 * The RBFO write-back waits up to 7 s for the restarted firmware's reply. */
LEP3_API int LEP3_UpdateSAMG55(pthread_t reader_thread);
LEP3_API int32_t set_rate_of_progress(int32_t value);
LEP3_API int32_t get_rate_of_progress(void);
LEP3_API int LEP3_GetUpdateRate(int32_t *rate);
LEP3_API extern int32_t rate_of_progress;

/* ---------------------------------------------------------------------------------------
 * Extensions: configurable device paths, link statistics and palette names.
 * Paths are set before LEP3_Init or between LEP3_Destroy and the next LEP3_Init.
 * ------------------------------------------------------------------------------------- */

#define LEP3_PATH_UART 0
#define LEP3_PATH_UART_ALT 1
#define LEP3_PATH_FIRMWARE_DIR 2
#define LEP3_PATH_SDCARD_DIR 3
#define LEP3_PATH_CAPTURE_DIR 4

/* 0, or -3 for an unknown which, a null or empty path, or one of 256 characters or more. */
LEP3_API int LEP3_SetPath(int which, const char *path);
/* The configured path, or NULL for an unknown which. */
LEP3_API const char *LEP3_GetPath(int which);

/* Counters kept by the reader and parser since the library was loaded. The check bytes
 * passed over by the hunt still count in bytes_dropped. */
typedef struct lep3_link_stats_t {
    uint64_t bytes_read;          /* bytes the reader took from the port */
    uint64_t bytes_dropped;       /* bytes skipped while hunting for sync */
    uint64_t frames_raw;          /* raw frames completed */
    uint64_t frames_rgb;          /* RGB frames completed */
    uint64_t frames_overwritten;  /* frames overwritten before a host took them */
    uint64_t replies_posted;      /* replies handed to a transaction */
    uint64_t replies_abandoned;   /* reply packets dropped for a bad type or length */
    uint64_t reset_notices;       /* camera-reset notices */
    uint64_t read_failures;       /* failed reads of the port */
    uint64_t empty_reads;         /* reads that returned no byte (an unplugged bridge) */
    uint64_t queue_full_episodes; /* times the reader found the byte queue full */
    uint64_t frame_check_errors;  /* frame packets whose check byte did not match */
    uint64_t reply_check_errors;  /* reply packets whose check byte did not match */
    uint64_t reconnects;          /* times the session re-opened a returning bridge */
} lep3_link_stats_t;

/* 0, or -5 for a null pointer. */
LEP3_API int LEP3_GetLinkStats(lep3_link_stats_t *out);

/* Commands whose reply did not come within the reply time (their -2), since the library
 * was loaded: the re-initialisation after a camera reset's included. 0, or -5 for a null
 * pointer. Any thread. */
LEP3_API int LEP3_GetCommandTimeouts(uint64_t *out);

/* The name of palette index (0 to 10, as Gray8ToRGB24 numbers them; "fusion" to
 * "grayfusion", the names of the exported tables), or NULL past the end. Every host
 * accepts these names, in any case. */
LEP3_API const char *LEP3_PaletteName(int index);

/* ---------------------------------------------------------------------------------------
 * Session: the library runs its own reader and parser loops, waits with time-outs, and
 * re-opens a bridge that disappears and returns. One camera per process.
 * ------------------------------------------------------------------------------------- */
/*
 * The link's state (uart_fd, the queues, the parser) is global, so a process drives one
 * bridge at a time: LEP3_Open refuses a second session with -7. A session replaces the
 * calling order of the link section (LEP3_Init, the two host threads, LEP3_Destroy);
 * don't mix the two.
 *
 * Extra result codes of this section
 *   -6   the bridge is gone (unplugged, or its device reports hang-up)
 *   -7   the bridge is in use (by another process, or already open in this one)
 *
 * Where a session departs from the link and command sections
 *   - The library's opens of the bridge's devices (LEP3_Init's and the firmware update's,
 *     while a session is open) add O_NOCTTY: the port never becomes the host's controlling
 *     terminal, so a daemon gets no SIGHUP at an unplug. The calling order of the link
 *     section keeps O_RDWR alone.
 *   - While the link is gone or reconnecting, a command writes nothing and gives -6 at
 *     once; a command awaiting its reply when the bridge goes gives -6 within about 0.1 s
 *     instead of waiting out its 7 s. After LEP3_Close, commands give -1 as after
 *     LEP3_Destroy.
 *   - LEP3_WaitFrame gives -6 as soon as the link is gone or reconnecting, also when called
 *     meanwhile, rather than at the end of its time-out: a host that waits for the bridge
 *     to return pauses between its calls.
 *
 * A complete host:
 *
 *     #include <lep3.h>
 *     #include <stdio.h>
 *
 *     int main(void)
 *     {
 *         static uint16_t raw[19200];
 *         lep3_frame_info_t info;
 *         if (LEP3_Open(NULL) != 0)            // NULL: the configured LEP3_PATH_UART
 *             return 1;
 *         LEP3_GetRawVideo();
 *         for (int i = 0; i < 10; i++) {
 *             int rc = LEP3_WaitFrame(raw, sizeof raw, &info, 2000);
 *             if (rc == -2 || rc == -6)        // silent, or gone
 *                 break;
 *             if (rc == 0)
 *                 printf("frame %u, centre raw %u\n", info.frame_number, raw[60 * 160 + 80]);
 *         }
 *         LEP3_Close();
 *         return 0;
 *     }
 */

#define LEP3_LINK_CLOSED 0       /* no session */
#define LEP3_LINK_UP 1           /* bytes arrived within the last second */
#define LEP3_LINK_SILENT 2       /* open, nothing arrived for a second (also: no video asked for) */
#define LEP3_LINK_GONE 3         /* the device disappeared or reports hang-up */
#define LEP3_LINK_RECONNECTING 4 /* the device is back and is being re-opened */

/* What LEP3_WaitFrame knows of the frame it delivered. */
typedef struct lep3_frame_info_t {
    uint32_t frame_number; /* the parser's count, as in frame_desc */
    uint32_t format;       /* 0 raw, 1 RGB24 */
    uint32_t size;         /* bytes copied: 38 400 or 57 600 */
    uint32_t width;        /* 160 */
    uint32_t height;       /* 120 */
    uint32_t check_ok;     /* 1 when the frame packet's check byte matched */
    uint64_t completed_ns; /* CLOCK_MONOTONIC time at which the parser completed it */
} lep3_frame_info_t;

/* Opens the bridge at device (NULL: the configured LEP3_PATH_UART) exclusively, starts the
 * loops on the library's threads. A bridge still streaming for an earlier host is met in
 * the middle of a frame: what arrives before the line has been quiet for 20 ms (0.3 s at
 * most) is passed over, so the parser starts on a packet's first byte; the same happens
 * when the session reconnects. 0; -7 in use (the message names the holder where it can be
 * found); -1 with the cause otherwise. */
LEP3_API int LEP3_Open(const char *device);
/* Stops the loops within a bounded time (the bridge has no request that ends its stream:
 * frames simply stop being read), releases the port and the lock, and leaves the link as
 * after LEP3_Destroy. Safe to call twice or without LEP3_Open. */
LEP3_API void LEP3_Close(void);
/* The newest frame not yet delivered, waiting at most timeout_ms (negative: no limit).
 * 0; -2 nothing in time while the link is up or silent; -6 at once while the bridge is
 * gone or being re-opened; -3 capacity smaller than the frame (nothing written); -5 null
 * buffer. info may be NULL. */
LEP3_API int LEP3_WaitFrame(void *buffer, size_t capacity, lep3_frame_info_t *info, int timeout_ms);
/* One of LEP3_LINK_*. */
LEP3_API int LEP3_GetLinkState(void);
/* The name hosts show for a link state ("closed", "up", "silent", "gone", "reconnecting"),
 * or NULL for a value that is no state. */
LEP3_API const char *LEP3_LinkStateName(int state);
/* The whole firmware update of an open session (image_path NULL: the firmware dir's
 * image). The image is checked before the bridge is restarted; afterwards the session is
 * open again on the new firmware. The update's own codes (see LEP3_UpdateSAMG55); -7 when
 * no session is open. */
LEP3_API int LEP3_UpdateFirmware(const char *image_path);
/* Flashes a bridge that waits in its bootloader (an update cut off, or one whose bootloader
 * was not at the expected device), without a session and without the application
 * firmware: the transfer and start of update_flow with the given image, through the
 * bootloader at LEP3_PATH_UART_ALT (else LEP3_PATH_UART). The application's user RBFO set
 * is the host's to write back afterwards. 0; -3 image refused or transfer failed; -5 null
 * path; -7 a session is open in this process. */
LEP3_API int LEP3_RecoverFirmware(const char *image_path);
/* Data blocks of the running or last update acknowledged so far, and their total.
 * 0, or -5 for a null pointer. */
LEP3_API int LEP3_GetUpdateBlocks(uint32_t *acknowledged, uint32_t *total);

/* Receives every message the library would print: stream 1 standard output, 2 standard
 * error; text is exactly what would have been written (puts' line end included). */
typedef void (*lep3_message_handler_t)(int stream, const char *text, void *context);
/* Installs handler; NULL silences the library; LEP3_ConsoleMessages restores printing. 0. */
LEP3_API int LEP3_SetMessageHandler(lep3_message_handler_t handler, void *context);
/* The default: writes text to standard output or standard error as the library always has. */
LEP3_API void LEP3_ConsoleMessages(int stream, const char *text, void *context);
/* The library's version, "major.minor.patch". */
LEP3_API const char *LEP3_GetLibraryVersion(void);

/* ---------------------------------------------------------------------------------------
 * Thermography: object temperatures through emissivity, reflection, air and a window;
 * statistics of spots, boxes and lines; the calibration the session keeps current.
 * ------------------------------------------------------------------------------------- */
/*
 * The camera sees, in its signal U = S - O (proportional to radiance; a black body at T
 * kelvin gives U(T) = R / (exp(1428 / T) - 1)):
 *   U = e t1 W t2 U(obj) + (1 - e) t1 W t2 U(refl) + (1 - t1) W t2 U(air) + (1 - W) t2 U(win)
 *       + (1 - t2) U(air)
 * with e the emissivity, W the window's transmission and t1 = t2 the air's transmission
 * over half the distance each (from the air's temperature and humidity). The conversion
 * solves it for U(obj). With the defaults it gives LEP3_LuxToKelvin - 273.15 (within
 * 0.001 C) wherever U > 0.
 */

/* What lies between the object and the camera. Ranges: emissivity 0.01..1, humidity 0..1
 * (relative), distance_m 0..10 000, window_transmission 0.01..1 (1: no window),
 * temperatures -100..2000 C; every value finite. */
typedef struct lep3_object_params_t {
    float emissivity;          /* of the object, 0.01..1 */
    float reflected_c;         /* apparent temperature of what the object reflects, C */
    float air_c;               /* air between object and camera, C */
    float humidity;            /* relative humidity of that air, 0..1 */
    float distance_m;          /* object to camera, m */
    float window_c;            /* temperature of an external window or optics, C */
    float window_transmission; /* of that window, 0.01..1 */
} lep3_object_params_t;

/* Emissivity 1, reflected, air and window 20 C, humidity 0.5, distance 0, no window. */
LEP3_API void LEP3_DefaultObjectParams(lep3_object_params_t *p);
/* A raw frame (19 200 values) to object temperatures in C, with the calibration R and O
 * (see LEP3_GetCalibration). Pixels whose object signal has no temperature (U <= 0 after
 * the correction) come out NaN. 0; -5 a null pointer; -3 a parameter out of its range,
 * R <= 0, or a combination that leaves the air no transmission (nothing written then).
 * Any thread; one process-wide table of the result of each raw value is rebuilt when the
 * parameters or the calibration change, and a call that finds it in use computes pixel
 * by pixel. */
LEP3_API int LEP3_RawToObjectCelsius(const uint16_t *raw, float *celsius, int32_t R, int32_t O,
                                     const lep3_object_params_t *p);
/* The same, also storing in *nan_pixels (may be NULL) how many pixels came out NaN. */
LEP3_API int LEP3_RawToObjectCelsiusCounted(const uint16_t *raw, float *celsius, int32_t R, int32_t O,
                                            const lep3_object_params_t *p, uint32_t *nan_pixels);

#define LEP3_REGION_SPOT 0 /* the pixel (x0, y0) */
#define LEP3_REGION_BOX 1  /* the rectangle with corners (x0, y0) and (x1, y1), inclusive, any order */
#define LEP3_REGION_LINE 2 /* the pixels of Bresenham's line from (x0, y0) to (x1, y1) */

/* A region of the 160 x 120 frame: x is the column (0..159), y the row (0..119). */
typedef struct lep3_region_t {
    int kind; /* LEP3_REGION_* */
    int x0, y0, x1, y1;
} lep3_region_t;

/* Statistics over the region's pixels that hold a number; NaN pixels are left out and
 * counted. Positions are those of the first pixel met (rows top down, a line from its
 * start) holding the minimum or maximum. When every pixel is NaN, min, max and mean are
 * NaN and the positions -1. */
typedef struct lep3_region_stats_t {
    float min, max, mean; /* as the frame holds them (C from LEP3_RawToObjectCelsius) */
    int min_x, min_y;
    int max_x, max_y;
    uint32_t pixels;     /* pixels counted (NaNs excluded) */
    uint32_t nan_pixels; /* pixels left out as NaN */
} lep3_region_stats_t;

/* Statistics of region r of a temperature frame (19 200 floats). 0; -5 a null pointer;
 * -3 an unknown kind or a coordinate outside the frame (nothing written). Any thread. */
LEP3_API int LEP3_MeasureRegion(const float *celsius, const lep3_region_t *r, lep3_region_stats_t *out);

/* The R and O of the camera's internal RBFO set (the one its raw values are calibrated
 * against), as the open session last read or set it. The session reads it again on the
 * first call after opening, after a reconnect, after a firmware update and after a camera
 * reset; LEP3_SetRadRBFOInternal0 replaces it when the camera accepts the set. Either
 * pointer may be NULL. 0; -7 no session open; -6 the bridge is gone (or being re-opened);
 * -3 the set holds R = 0 (no temperatures); a command's result when the read fails.
 * Any host thread; a call that reads waits for the camera's reply. */
LEP3_API int LEP3_GetCalibration(int32_t *R, int32_t *O);

#ifdef __cplusplus
}
#endif

#endif /* LEP3_H */
