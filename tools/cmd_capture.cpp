// lep3 capture: raw frames to colour pictures, lossless 16-bit copies and temperatures.
#include <algorithm>
#include <array>
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
#include "hostkit/command_support.h"
#include "hostkit/command_thread.h"
#include "hostkit/console.h"
#include "hostkit/firmware_version.h"
#include "hostkit/frame_pictures.h"
#include "hostkit/frame_pump.h"
#include "hostkit/frame_range.h"
#include "hostkit/png_writer.h"
#include "hostkit/radiometry.h"
#include "hostkit/signals.h"
#include "hostkit/text_format.h"
#include "hostkit/thermography.h"
#include "lep3.h"
#include "names/palettes.h"
#include "thermo/alarm.h"
#include "tools/commands.h"

namespace lep3tool {

namespace {

constexpr OptionDef kCaptureOptions[] = {
    {"count", 'n', "N", "number of frames (default 1)"},
    {"output", 'o', "DIR", "directory for the files (default ./lep3-capture)"},
    {"palette", 'p', "NAME", "colour palette (default ironblack)"},
    {"range", 'r', "RANGE",
     "auto, held (the first frame's), MIN:MAX in raw values (7000:9000), 20C:35C in degrees, or p1:p99 "
     "(percentiles of each frame)"},
    {"temps", 't', "", "also write each frame's temperatures in degrees Celsius as CSV"},
    {"rbfo", 0, "SET", "the camera's RBFO parameters for temperatures: internal (default) or external"},
    {"json", 0, "", "print one JSON object per frame for scripts"},
    {"isotherm", 0, "LOW:HIGH", "a grey picture with the temperatures in LOW..HIGH (35C:40C) in red"},
    {"keep-bad", 0, "", "keep frames whose check byte failed (marked) instead of skipping them"},
    kTimeoutOption,
};
constexpr auto kOptions = join_options(kCaptureOptions, kObjectOptions, kRegionOptions);

// The colour that marks the isotherm band: a grey picture holds no red of its own.
constexpr std::array<uint8_t, 3> kIsothermColour{255, 0, 0};
constexpr uint32_t kGreyPalette = 5; // whitehot

constexpr const char *kDefaultOutput = "lep3-capture";
constexpr int64_t kMaxCount = 1000000;
// What marks a kept frame whose check byte failed, in the text output and the PNG chunks.
constexpr const char *kBadCheckText = "check byte failed";

struct CaptureOptions {
    int64_t count = 1;
    std::string dir = kDefaultOutput;
    uint32_t palette = lep3::names::kDefaultPalette;
    FrameRange range;
    bool temps = false;
    bool json = false;
    bool keep_bad = false;
    std::chrono::milliseconds timeout{};
    RbfoSet rbfo_set = RbfoSet::internal;
    ObjectSettings object;
    std::vector<lep3::thermo::NamedRegion> regions;
    std::optional<std::pair<float, float>> isotherm; // low, high in C
};

std::pair<float, float> parse_isotherm(const std::string &text)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        throw UsageError("--isotherm takes LOW:HIGH in degrees, as in 35C:40C, not '" + text + "'");
    try {
        const double low = lep3::thermo::parse_celsius(text.substr(0, colon), "--isotherm");
        const double high = lep3::thermo::parse_celsius(text.substr(colon + 1), "--isotherm");
        if (low > high)
            throw UsageError("--isotherm runs from low to high, not " + text);
        return {static_cast<float>(low), static_cast<float>(high)};
    } catch (const std::invalid_argument &e) {
        throw UsageError(e.what());
    }
}

// Paints the pixels whose temperature lies in the band, over the grey picture.
void mark_isotherm(std::span<const float> celsius, std::pair<float, float> band, std::vector<uint8_t> &rgb)
{
    for (size_t i = 0; i < celsius.size(); ++i)
        if (celsius[i] >= band.first && celsius[i] <= band.second)
            std::copy(kIsothermColour.begin(), kIsothermColour.end(), rgb.begin() + static_cast<std::ptrdiff_t>(3 * i));
}

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
    o.keep_bad = args.has("keep-bad");
    o.timeout = frame_timeout(args);
    if (auto set = args.value("rbfo"))
        o.rbfo_set = parse_rbfo_set(*set);
    o.object = parse_object_settings(args);
    o.regions = parse_regions(args);
    if (auto band = args.value("isotherm")) {
        if (args.has("palette"))
            throw UsageError("--isotherm draws its own grey picture: leave out --palette");
        o.isotherm = parse_isotherm(*band);
    }
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
    check_result(LEP3_GetRawVideo(), "the video request");
    FramePump pump;
    auto frame = std::make_unique<Frame>();
    bool have_frame = first_frame(pump, *frame, o.timeout, session.device());
    const std::optional<lep3_rbfo_t> rbfo = awaiting_reply([&] { return read_rbfo(o.rbfo_set); });
    GreyConverter grey(o.range, rbfo);
    const Provenance provenance = read_provenance();

    std::vector<uint8_t> gray8(kFramePixels);
    std::vector<uint8_t> rgb(kRgbFrameBytes);
    std::vector<float> celsius(kFramePixels);
    const lep3_object_params_t *object = o.object.given ? &o.object.params : nullptr;
    // The regions' readings of every frame, one line each, beside the pictures; written
    // whole (as every output, through a temporary name) when the capture ends, however.
    const bool regions_csv = !o.regions.empty() && rbfo;
    std::string regions_rows = std::string(kRegionCsvHeader) + "\n";
    auto save_regions = [&] {
        if (regions_csv)
            lep3::files::write_file((std::filesystem::path(o.dir) / "regions.csv").string(), regions_rows);
    };
    if ((!o.regions.empty() || o.isotherm) && !rbfo)
        warning("no regions or isotherm: the temperatures are unavailable");
    int64_t written = 0;
    uint64_t skipped = 0;
    // A bridge whose every frame is damaged is as useless as a silent one.
    auto good_by = std::chrono::steady_clock::now() + o.timeout;
    bool range_missed = false;
    while (written < o.count && !stop_requested()) {
        const auto wait = have_frame ? FramePump::Wait::frame : pump.next(*frame, o.timeout);
        have_frame = false;
        if (wait == FramePump::Wait::stopped)
            break;
        if (wait != FramePump::Wait::frame)
            save_regions();
        if (wait == FramePump::Wait::timed_out)
            fail_silent(session.device(), o.timeout);
        if (wait == FramePump::Wait::gone)
            throw std::runtime_error("the bridge at " + session.device() + " is gone (unplugged?)");
        if (frame->format != kFormatRaw)
            continue; // an RGB frame still on its way from an earlier request
        if (!frame->check_ok && !o.keep_bad) {
            ++skipped; // damaged on the way: the next good frame takes its place
            if (std::chrono::steady_clock::now() > good_by)
                throw std::runtime_error("the bridge at " + session.device() +
                                         " sends only frames whose check byte fails (" + std::to_string(skipped) +
                                         " skipped; --keep-bad keeps them)");
            continue;
        }
        good_by = std::chrono::steady_clock::now() + o.timeout;

        float fpa = 0;
        const bool have_fpa = awaiting_reply([&] { return LEP3_GetSysFpaTemperatureCelcius(&fpa); }) == 0;
        std::optional<SceneTemperatures> scene;
        std::vector<lep3_region_stats_t> readings;
        if (rbfo) {
            scene = frame_celsius(frame->raw(), *rbfo, celsius, object);
            readings = measure_regions(celsius, o.regions);
        }

        uint16_t used_min = 0;
        uint16_t used_max = 0;
        grey.convert(frame->raw(), gray8.data(), used_min, used_max);
        if (const std::string miss = range_miss(frame->raw(), used_min, used_max, o.range.describe());
            !miss.empty() && !range_missed) {
            warning("%s", miss.c_str());
            range_missed = true; // said once
        }
        Gray8ToRGB24(gray8.data(), rgb.data(), o.isotherm ? kGreyPalette : o.palette);
        if (o.isotherm && rbfo)
            mark_isotherm(celsius, *o.isotherm, rgb);

        ++written;
        const std::string stem = file_stem(o.dir, written);
        const std::string number = std::to_string(frame->number);
        const std::string when = iso_time(frame->taken);
        auto colour_text = colour_picture_text(frame->number, frame->taken, o.isotherm ? kGreyPalette : o.palette,
                                               used_min, used_max, o.range.describe());
        auto raw_text =
            raw_picture_text(frame->number, frame->taken, have_fpa ? std::optional<float>(fpa) : std::nullopt, rbfo,
                             o.rbfo_set, provenance);
        if (!frame->check_ok)
            for (auto *text : {&colour_text, &raw_text})
                text->push_back({"Warning", std::string("the frame's ") + kBadCheckText +
                                                ": some values may be damaged (kept with --keep-bad)"});
        write_png_rgb8(stem + ".png", rgb, kFrameWidth, kFrameHeight, colour_text);
        write_png_gray16(stem + "-raw16.png", std::span<const uint16_t>(frame->raw(), kFramePixels), kFrameWidth,
                         kFrameHeight, raw_text, kRawSignificantBits);
        const bool csv = o.temps && rbfo;
        if (csv)
            write_csv(stem + "-celsius.csv", celsius);
        for (size_t i = 0; i < readings.size() && regions_csv; ++i)
            regions_rows += region_csv_row(frame->number, when, o.regions[i], readings[i]) + "\n";

        if (o.json) {
            auto degrees = [&scene](float SceneTemperatures::*field) {
                return scene ? nlohmann::ordered_json(hundredths((*scene).*field)) : nlohmann::ordered_json(nullptr);
            };
            nlohmann::ordered_json line = {
                {"frame", frame->number},
                {"check_ok", frame->check_ok},
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
            if (object != nullptr)
                line["object"] = object_json(*object);
            if (!readings.empty()) {
                line["regions"] = nlohmann::ordered_json::array();
                for (size_t i = 0; i < readings.size(); ++i)
                    line["regions"].push_back(region_json(o.regions[i], readings[i]));
            }
            print("%s\n", line.dump().c_str());
        } else {
            const std::string mark = frame->check_ok ? "" : std::string(" (") + kBadCheckText + ")";
            if (scene)
                print("%s.png: frame %s%s, centre %.2f °C, min %.2f °C, max %.2f °C\n", stem.c_str(), number.c_str(),
                      mark.c_str(), static_cast<double>(scene->centre), static_cast<double>(scene->min),
                      static_cast<double>(scene->max));
            else
                print("%s.png: frame %s%s, raw min %u, max %u\n", stem.c_str(), number.c_str(), mark.c_str(),
                      static_cast<unsigned>(used_min), static_cast<unsigned>(used_max));
            for (size_t i = 0; i < readings.size(); ++i)
                print("  %s\n", region_text(o.regions[i], readings[i]).c_str());
        }
        flush_output();
    }
    if (skipped > 0)
        warning("skipped %" PRIu64 " frame%s whose check byte failed (--keep-bad keeps them)", skipped,
                skipped == 1 ? "" : "s");
    if (o.temps && !rbfo)
        warning("no CSV files were written: the temperatures are unavailable");
    save_regions();
    if (written < o.count) {
        error("interrupted after %" PRId64 " of %" PRId64 " frames; the files written are complete", written, o.count);
        return interrupted_status();
    }
    return kExitOk;
}

} // namespace

const Command kCaptureCommand = {
    "capture",
    "[-n N] [-o DIR] [--palette NAME] [--range RANGE] [--temps] [--json] [--isotherm LOW:HIGH] "
    "[--emissivity E ...] [--spot|--box|--line [NAME=]X0,Y0[,X1,Y1] ...]",
    "take frames and save colour pictures, 16-bit raw pictures and temperatures",
    "For each frame k (from 1) it writes DIR/frame-000k.png in the palette's colours and\n"
    "DIR/frame-000k-raw16.png, a lossless 16-bit greyscale copy of the raw values (14\n"
    "significant bits, recorded in sBIT) whose text chunks record the frame number, capture\n"
    "time, FPA temperature, the R, B, F, O of the temperature conversion, the camera's serial\n"
    "number, the bridge firmware and the library version; with --temps also\n"
    "DIR/frame-000k-celsius.csv (120 lines of 160 values). It prints the temperature of\n"
    "the centre pixel (row 60, column 80: the CSV's value there) and the scene's minimum\n"
    "and maximum. A frame whose check byte failed is skipped for the next good one.\n"
    "Palettes (any case): fusion rainbow globow icefire ironblack whitehot blackhot rain iron\n"
    "greyred grayfusion. A range in degrees (20C:35C) uses the camera's RBFO parameters; a\n"
    "percentile range (p1:p99) spreads each frame's values between those percentiles over the\n"
    "palette.\n"
    "The object options (--emissivity, --reflected, --air, --humidity, --distance, --window,\n"
    "--window-temp) turn every temperature into the object's, corrected for what lies between.\n"
    "Each --spot, --box and --line is reported after its frame (text, or \"regions\" in JSON)\n"
    "and in DIR/regions.csv. --isotherm draws a grey picture with the band in red.",
    kOptions,
    run_capture,
};

} // namespace lep3tool
