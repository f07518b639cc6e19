// The operations whose instruction counts we track, each run a fixed number of times inside
// lep3_measured(). bench/instruction-counts tells callgrind to count in the functions each
// case names: lep3_measured() for a conversion; for the link, the reader's and the parser's
// passes themselves, as their threads' loops call them, without this program's own loop
// around them (link-* the classic loops', session-* the session's on the same packet). Set-up, warm-up and feeding the
// pipe happen outside them (the link cases have no warm-up: their passes would count in it).
//
//   instruction_counts --list          one line per case: name, unit, goal (0 = none), the
//                                      functions counted (comma-separated)
//   instruction_counts NAME [LEVEL]    runs the case and prints how many units it measured;
//                                      LEVEL (baseline, avx2) narrows the vector unit
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <vector>

#include "bench/scene.h"
#include "lep3.h"
#include "link/link_internal.h"
#include "render/render_internal.h"
#include "render/vector_level.h"
#include "session/session_internal.h"

namespace {

using lep3::bench::scene;
using lep3::link::kPixels;

constexpr int kRepetitions = 8;

struct Case {
    const char *name;
    const char *unit;
    uint64_t goal;            // instructions per unit, 0 when only reported
    const char *counted;      // functions whose instructions count, comma-separated
    void (*set_up)();         // once, outside the count
    uint64_t (*prepare)(int); // before each repetition, outside the count; returns its units
    void (*measure)(int);     // counted
};

// ---- Reader and parser: one frame packet through the byte queue and the state table ------

std::vector<uint8_t> packet;
int pipe_write = -1;

void set_up_link(bool rgb)
{
    int fds[2];
    if (pipe(fds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    // Room for a whole frame packet, so one write feeds a whole repetition.
    fcntl(fds[1], F_SETPIPE_SZ, 1 << 20);
    uart_fd = fds[0];
    pipe_write = fds[1];
    queue_init(&uart_queue, lep3::link::kUartQueueBytes);
    frame_queue_init(&frame_queue, static_cast<int32_t>(lep3::link::kRgbFrameBytes), lep3::link::kFrameHeight,
                     lep3::link::kFrameWidth);
    frame_desc = frame_desc_t{0, 0, lep3::link::kFrameWidth, lep3::link::kFrameHeight, kPixels, 0};
    packet = lep3::bench::frame_packet(rgb, 1);
}

uint64_t feed_packet(int /*repetition*/)
{
    for (std::span<const uint8_t> left(packet); !left.empty();) {
        const ssize_t n = write(pipe_write, left.data(), left.size());
        if (n <= 0) {
            std::perror("write");
            std::exit(1);
        }
        left = left.subspan(static_cast<size_t>(n));
    }
    return packet.size();
}

// The loops' passes, interleaved as on one core: a read, then the parser drains the queue.
void pump_packet(int /*repetition*/)
{
    for (uint64_t left = packet.size(); left > 0;) {
        const uint64_t before = lep3::link::link_counters.bytes_read.load(std::memory_order_relaxed);
        lep3::link::read_pass();
        const uint64_t got = lep3::link::link_counters.bytes_read.load(std::memory_order_relaxed) - before;
        if (got > 0)
            lep3::link::parse_pass(); // takes every byte the read queued
        left -= got;
    }
}

// The session's passes on the same packet: reads into its ring until the packet is there
// (one read takes it whole from the pipe), then one parser pass takes it in runs.
void set_up_session_link(bool rgb)
{
    set_up_link(rgb);
    if (!lep3::session::prepare_loop_passes()) {
        std::perror("eventfd");
        std::exit(1);
    }
}

void pump_packet_session(int /*repetition*/)
{
    const uint64_t before = lep3::link::link_counters.bytes_read.load(std::memory_order_relaxed);
    while (lep3::link::link_counters.bytes_read.load(std::memory_order_relaxed) - before < packet.size())
        lep3::session::loop_read_pass();
    lep3::session::loop_parse_pass();
}

// ---- Conversions: one frame each -----------------------------------------------------------

std::vector<uint8_t> grey(kPixels);
std::vector<uint8_t> grey_out(kPixels);
std::vector<uint8_t> rgb(static_cast<size_t>(kPixels) * 3);
std::vector<float> temps(kPixels);

uint64_t one_frame(int /*repetition*/)
{
    return 1;
}

void set_up_render()
{
    lep3::render::fill_exported_palettes();
    uint16_t max = 0;
    uint16_t min = 0;
    Gray14ToGray8(scene().data(), grey.data(), &max, &min, 0);
    LEP3_LuxToKelvin(scene().data(), temps.data(), 347000, 1000);
}

void gray14_auto(int)
{
    uint16_t max = 0;
    uint16_t min = 0;
    Gray14ToGray8(scene().data(), grey_out.data(), &max, &min, 0);
}

void gray14_held(int)
{
    uint16_t max = 0;
    uint16_t min = 0;
    Gray14ToGray8(scene().data(), grey_out.data(), &max, &min, 1);
}

void gray14_user(int)
{
    Gray14ToGray8WithUserSetPalette(scene().data(), grey_out.data(), 9000, 7900);
}

void median(int)
{
    lep3::render::medianFilter3x3(grey.data(), grey_out.data());
}

void gray8_rgb24(int)
{
    Gray8ToRGB24(grey.data(), rgb.data(), 8);
}

void lux_warm(int)
{
    LEP3_LuxToKelvin(scene().data(), temps.data(), 347000, 1000);
}

// A new R on every call: the first frame after a change of calibration.
void lux_rekey(int repetition)
{
    LEP3_LuxToKelvin(scene().data(), temps.data(), 348000 + repetition, 1000);
}

// The same on a frame of uniformly random 14-bit values: every value a new one.
std::vector<uint16_t> noise = [] {
    std::vector<uint16_t> frame(kPixels);
    uint32_t state = 12345;
    for (auto &v : frame) {
        state = state * 1664525U + 1013904223U;
        v = static_cast<uint16_t>(state >> 18);
    }
    return frame;
}();

void lux_rekey_noise(int repetition)
{
    LEP3_LuxToKelvin(noise.data(), temps.data(), 348000 + repetition, 1000);
}

lep3_object_params_t through_air()
{
    lep3_object_params_t p;
    LEP3_DefaultObjectParams(&p);
    p.emissivity = 0.95F, p.distance_m = 3, p.window_transmission = 0.9F, p.window_c = 30;
    return p;
}

void set_up_object()
{
    set_up_render();
    const lep3_object_params_t p = through_air();
    LEP3_RawToObjectCelsius(scene().data(), temps.data(), 347000, 1000, &p);
}

// The same parameters every frame: the table is warm.
void object_warm(int)
{
    const lep3_object_params_t p = through_air();
    LEP3_RawToObjectCelsius(scene().data(), temps.data(), 347000, 1000, &p);
}

// Sixteen regions as a person places them: six boxes of 32 x 24, five lines across the
// scene, five spots, on the frame set_up_object converted.
void regions_16(int)
{
    lep3_region_stats_t stats{};
    for (int i = 0; i < 6; ++i) {
        const lep3_region_t box{LEP3_REGION_BOX, 10 + 20 * i, 5 + 15 * i, 41 + 20 * i, 28 + 15 * i};
        LEP3_MeasureRegion(temps.data(), &box, &stats);
    }
    for (int i = 0; i < 5; ++i) {
        const lep3_region_t line{LEP3_REGION_LINE, 0, 10 + 20 * i, 159, 119 - 20 * i};
        LEP3_MeasureRegion(temps.data(), &line, &stats);
    }
    for (int i = 0; i < 5; ++i) {
        const lep3_region_t spot{LEP3_REGION_SPOT, 30 * i + 10, 20 * i + 10, 0, 0};
        LEP3_MeasureRegion(temps.data(), &spot, &stats);
    }
}

void kelvin_rgb(int)
{
    float max = 0;
    uint16_t min = 0;
    LEP3_KelvinToRGB(temps.data(), rgb.data(), 4, &max, &min, 0);
}

constexpr const char *kMeasured = "lep3_measured";
constexpr const char *kPasses = "lep3::link::read_pass(),lep3::link::parse_pass()";
constexpr const char *kSessionPasses = "lep3::session::loop_read_pass(),lep3::session::loop_parse_pass()";

const Case kCases[] = {
    {"link-rgb", "byte", 100, kPasses, [] { set_up_link(true); }, feed_packet, pump_packet},
    {"link-raw", "byte", 100, kPasses, [] { set_up_link(false); }, feed_packet, pump_packet},
    {"session-rgb", "byte", 20, kSessionPasses, [] { set_up_session_link(true); }, feed_packet, pump_packet_session},
    {"session-raw", "byte", 20, kSessionPasses, [] { set_up_session_link(false); }, feed_packet, pump_packet_session},
    {"gray14-auto", "frame", 150000, kMeasured, set_up_render, one_frame, gray14_auto},
    {"gray14-held", "frame", 0, kMeasured, set_up_render, one_frame, gray14_held},
    {"gray14-user", "frame", 0, kMeasured, set_up_render, one_frame, gray14_user},
    {"median", "frame", 0, kMeasured, set_up_render, one_frame, median},
    {"gray8-rgb24", "frame", 100000, kMeasured, set_up_render, one_frame, gray8_rgb24},
    {"lux-warm", "frame", 120000, kMeasured, set_up_render, one_frame, lux_warm},
    {"lux-rekey", "frame", 300000, kMeasured, set_up_render, one_frame, lux_rekey},
    {"lux-rekey-noise", "frame", 300000, kMeasured, set_up_render, one_frame, lux_rekey_noise},
    {"kelvin-rgb", "frame", 0, kMeasured, set_up_render, one_frame, kelvin_rgb},
    // At most twice lux-warm's goal; sixteen regions below one conversion.
    {"object-warm", "frame", 240000, kMeasured, set_up_object, one_frame, object_warm},
    {"regions-16", "frame", 120000, kMeasured, set_up_object, one_frame, regions_16},
};

} // namespace

// Everything callgrind counts happens below this function.
extern "C" [[gnu::noinline]] void lep3_measured(const Case *c, int repetition)
{
    c->measure(repetition);
    asm volatile("" ::: "memory");
}

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s --list | NAME [baseline|avx2]\n", argv[0]);
        return 2;
    }
    if (argc == 3) {
        const char *names[] = {"baseline", "avx2"};
        int level = 0;
        while (level < 2 && std::strcmp(argv[2], names[level]) != 0)
            ++level;
        if (level == 2 || !lep3::render::set_vector_level(static_cast<lep3::render::VectorLevel>(level))) {
            std::fprintf(stderr, "vector level %s is unknown or not available here\n", argv[2]);
            return 2;
        }
    }
    for (const Case &c : kCases) {
        if (std::strcmp(argv[1], "--list") == 0) {
            std::printf("%s %s %llu %s\n", c.name, c.unit, static_cast<unsigned long long>(c.goal), c.counted);
            continue;
        }
        if (std::strcmp(argv[1], c.name) != 0)
            continue;
        // The library's messages (none expected) stay out of the figures' output.
        std::fflush(stdout);
        const int out = dup(1);
        std::freopen("/dev/null", "w", stdout);
        c.set_up();
        if (c.counted == kMeasured) {
            c.prepare(-1);
            c.measure(-1); // warm-up: tables, lazily bound symbols
        }
        uint64_t units = 0;
        for (int i = 0; i < kRepetitions; ++i) {
            units += c.prepare(i);
            lep3_measured(&c, i);
        }
        dprintf(out, "%llu\n", static_cast<unsigned long long>(units));
        return 0;
    }
    if (std::strcmp(argv[1], "--list") == 0)
        return 0;
    std::fprintf(stderr, "no case %s\n", argv[1]);
    return 2;
}
