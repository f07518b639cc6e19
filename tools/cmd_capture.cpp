// lep3 capture: raw frames to colour pictures, lossless 16-bit copies and temperatures.
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "files/output_file.h"
#include "lep3.h"
#include "names/palettes.h"
#include "tools/command_support.h"
#include "tools/command_thread.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/firmware_version.h"
#include "tools/frame_pictures.h"
#include "tools/frame_pump.h"
#include "tools/frame_range.h"
#include "tools/png_writer.h"
#include "tools/radiometry.h"
#include "tools/signals.h"
#include "tools/text_format.h"

namespace lep3tool {

namespace {

constexpr OptionDef kOptions[] = {
    {"count", 'n', "N", "number of frames (default 1)"},
    {"output", 'o', "DIR", "directory for the files (default ./lep3-capture)"},
    {"palette", 'p', "NAME", "colour palette (default ironblack)"},
    {"range", 'r', "RANGE",
     "auto, held (the first frame's), MIN:MAX raw values, 20C:35C, or p1:p99 (percentiles of each frame)"},
    {"temps", 't', "", "also write each frame's temperatures in degrees Celsius as CSV"},
    {"rbfo", 0, "SET", "the camera's RBFO parameters for temperatures: internal (default) or external"},
    {"json", 0, "", "print one JSON object per frame for scripts"},
};

constexpr const char *kDefaultOutput = "lep3-capture";
constexpr int64_t kMaxCount = 1000000;
// A bridge streams several frames a second; this long without one means it stopped.
constexpr std::chrono::seconds kFrameWait{5};

struct CaptureOptions {
    int64_t count = 1;
    std::string dir = kDefaultOutput;
    uint32_t palette = lep3::names::kDefaultPalette;
    FrameRange range;
    bool temps = false;
    bool json = false;
    RbfoSet rbfo_set = RbfoSet::internal;
};

CaptureOptions parse_options(const ParsedArgs &args)
{
    if (!args.positionals().empty())
        throw UsageError("capture takes no arguments; the output directory is given with -o");
    CaptureOptions o;
    if (auto n = args.value("count"))
        o.count = parse_integer(*n, "-n", 1, kMaxCount);
    if (auto dir = args.value("output")) {
        if (dir->empty())
            throw UsageError("-o needs a directory");
        o.dir = *dir;
    }
    if (auto name = args.value("palette")) {
        const auto number = lep3::names::palette_by_name(*name);
        if (!number) {
            std::string names;
            for (const auto p : lep3::names::kPaletteNames)
                names += (names.empty() ? "" : ", ") + std::string(p);
            throw UsageError("unknown palette '" + *name + "'; the palettes are " + names);
        }
        o.palette = *number;
    }
    if (auto range = args.value("range"))
        o.range = FrameRange::parse(*range);
    o.temps = args.has("temps");
    o.json = args.has("json");
    if (auto set = args.value("rbfo"))
        o.rbfo_set = parse_rbfo_set(*set);
    return o;
}

// The temperatures as 120 lines of 160 comma-separated values.
void write_csv(const std::string &path, std::span<const float> celsius)
{
    std::string text;
    for (uint32_t y = 0; y < kFrameHeight; ++y)
        for (uint32_t x = 0; x < kFrameWidth; ++x) {
            text += celsius_text(celsius[y * kFrameWidth + x]);
            text += x + 1 < kFrameWidth ? ',' : '\n';
        }
    lep3::files::write_file(path, text);
}

double hundredths(float celsius)
{
    return std::round(static_cast<double>(celsius) * 100) / 100;
}

std::string file_stem(const std::string &dir, int64_t index)
{
    return (std::filesystem::path(dir) / format_text("frame-%04" PRId64, index)).string();
}

int run_capture(const ParsedArgs &args)
{
    const CaptureOptions o = parse_options(args);
    std::error_code ec;
    std::filesystem::create_directories(o.dir, ec);
    if (ec)
        throw std::runtime_error("cannot create " + o.dir + ": " + ec.message());

    Session session(session_options(args));
    const std::optional<lep3_rbfo_t> rbfo = awaiting_reply([&] { return read_rbfo(o.rbfo_set); });
    GreyConverter grey(o.range, rbfo);
    const Provenance provenance = read_provenance();
    check_result(LEP3_GetRawVideo(), "the video request");
    FramePump pump;

    auto frame = std::make_unique<Frame>();
    std::vector<uint8_t> gray8(kFramePixels);
    std::vector<uint8_t> rgb(kRgbFrameBytes);
    std::vector<float> celsius(kFramePixels);
    int64_t written = 0;
    while (written < o.count) {
        const auto wait = pump.next(*frame, kFrameWait);
        if (wait == FramePump::Wait::stopped)
            break;
        if (wait == FramePump::Wait::timed_out)
            throw std::runtime_error("no frame from the bridge at " + session.device() + " for 5 seconds");
        if (wait == FramePump::Wait::gone)
            throw std::runtime_error("the bridge at " + session.device() + " is gone (unplugged?)");
        if (frame->format != kFormatRaw)
            continue; // an RGB frame still on its way from an earlier request

        float fpa = 0;
        const bool have_fpa = awaiting_reply([&] { return LEP3_GetSysFpaTemperatureCelcius(&fpa); }) == 0;
        std::optional<SceneTemperatures> scene;
        if (rbfo)
            scene = frame_celsius(frame->raw(), *rbfo, celsius);

        uint16_t used_min = 0;
        uint16_t used_max = 0;
        grey.convert(frame->raw(), gray8.data(), used_min, used_max);
        Gray8ToRGB24(gray8.data(), rgb.data(), o.palette);

        ++written;
        const std::string stem = file_stem(o.dir, written);
        const std::string number = std::to_string(frame->number);
        const std::string when = iso_time(frame->taken);
        write_png_rgb8(
            stem + ".png", rgb, kFrameWidth, kFrameHeight,
            colour_picture_text(frame->number, frame->taken, o.palette, used_min, used_max, o.range.describe()));
        write_png_gray16(
            stem + "-raw16.png", std::span<const uint16_t>(frame->raw(), kFramePixels), kFrameWidth, kFrameHeight,
            raw_picture_text(frame->number, frame->taken, have_fpa ? std::optional<float>(fpa) : std::nullopt, rbfo,
                             o.rbfo_set, provenance),
            kRawSignificantBits);
        const bool csv = o.temps && rbfo;
        if (csv)
            write_csv(stem + "-celsius.csv", celsius);

        if (o.json) {
            auto degrees = [&scene](float SceneTemperatures::*field) {
                return scene ? nlohmann::ordered_json(hundredths((*scene).*field)) : nlohmann::ordered_json(nullptr);
            };
            const nlohmann::ordered_json line = {
                {"frame", frame->number},
                {"time", when},
                {"picture", stem + ".png"},
                {"raw_picture", stem + "-raw16.png"},
                {"csv", csv ? nlohmann::ordered_json(stem + "-celsius.csv") : nlohmann::ordered_json(nullptr)},
                {"centre_c", degrees(&SceneTemperatures::centre)},
                {"min_c", degrees(&SceneTemperatures::min)},
                {"max_c", degrees(&SceneTemperatures::max)},
                {"raw_min", used_min},
                {"raw_max", used_max},
                {"range", o.range.describe()},
            };
            print("%s\n", line.dump().c_str());
        } else if (scene)
            print("%s.png: frame %s, centre %.2f °C, min %.2f °C, max %.2f °C\n", stem.c_str(), number.c_str(),
                  static_cast<double>(scene->centre), static_cast<double>(scene->min), static_cast<double>(scene->max));
        else
            print("%s.png: frame %s, raw min %u, max %u\n", stem.c_str(), number.c_str(),
                  static_cast<unsigned>(used_min), static_cast<unsigned>(used_max));
        flush_output();
    }
    if (o.temps && !rbfo)
        warning("no CSV files were written: the temperatures are unavailable");
    if (written < o.count) {
        error("interrupted after %" PRId64 " of %" PRId64 " frames; the files written are complete", written, o.count);
        return interrupted_status();
    }
    return kExitOk;
}

} // namespace

const Command kCaptureCommand = {
    "capture",
    "[-n N] [-o DIR] [--palette NAME] [--range RANGE] [--temps] [--json]",
    "take frames and save colour pictures, 16-bit raw pictures and temperatures",
    "For each frame k (from 1) it writes DIR/frame-000k.png in the palette's colours and\n"
    "DIR/frame-000k-raw16.png, a lossless 16-bit greyscale copy of the raw values (14\n"
    "significant bits, recorded in sBIT) whose text chunks record the frame number, capture\n"
    "time, FPA temperature, the R, B, F, O of the temperature conversion, the camera's serial\n"
    "number, the bridge firmware and the library version; with --temps also\n"
    "DIR/frame-000k-celsius.csv (120 lines of 160 values). It prints the temperature of the centre pixel (row 60, "
    "column 80: the CSV's\n"
    "value there) and the scene's minimum and maximum.\n"
    "Palettes (any case): fusion rainbow globow icefire ironblack whitehot blackhot rain iron\n"
    "greyred grayfusion. A range in degrees (20C:35C) uses the camera's RBFO parameters; a\n"
    "percentile range (p1:p99) spreads each frame's values between those percentiles over the\n"
    "palette.",
    kOptions,
    run_capture,
};

} // namespace lep3tool
