// lep3 record: every raw frame of a session into one multi-page 16-bit TIFF, with what it
// takes to turn the values into temperatures later.
#include <algorithm>
#include <chrono>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hostkit/command_support.h"
#include "hostkit/command_thread.h"
#include "hostkit/console.h"
#include "hostkit/frame_pump.h"
#include "hostkit/radiometry.h"
#include "hostkit/signals.h"
#include "hostkit/text_format.h"
#include "hostkit/thermography.h"
#include "lep3.h"
#include "recording/format.h"
#include "recording/tally.h"
#include "recording/telemetry.h"
#include "recording/writer.h"
#include "tools/commands.h"

namespace lep3tool {

namespace {

namespace rec = lep3::recording;
using rec::RecordingWriter;
using rec::Telemetry;
using rec::WriteError;
using Clock = std::chrono::steady_clock;

constexpr OptionDef kRecordOptions[] = {
    {"output", 'o', "FILE", "the recording to write, a TIFF file that does not exist yet"},
    {"seconds", 's', "S", "stop after S seconds (default: record until Ctrl-C)"},
    {"count", 'n', "N", "stop after N frames"},
    {"celsius", 0, "", "also write every frame in degrees Celsius (32-bit float pages) to FILE-celsius.tif"},
    {"rbfo", 0, "SET", "the camera's RBFO parameters for temperatures: internal (default) or external"},
    {"bigtiff", 0, "", "write BigTIFF, which has no 4 GiB limit (3.5 hours uncompressed); fewer programs open it"},
    {"no-compress", 0, "", "store the values uncompressed, for TIFF readers without Deflate (about 9 times the size)"},
};
constexpr auto kOptions = join_options(kRecordOptions, kObjectOptions, kRegionOptions);

constexpr int64_t kMaxCount = int64_t{1} << 32;
// A bridge streams several frames a second; this long without one means it stopped.
constexpr auto kFrameWait = std::chrono::seconds(5);
// How long one wait for a frame lasts before the loop looks at the stop flag again.
constexpr int kWaitSliceMs = 200;
constexpr auto kProgressEvery = std::chrono::seconds(1);

struct RecordOptions {
    std::string path;
    std::string celsius_path; // empty: no Celsius file
    std::optional<Clock::duration> seconds;
    std::optional<uint64_t> count;
    RbfoSet rbfo_set = RbfoSet::internal;
    RecordingWriter::Container container = RecordingWriter::Container::classic;
    RecordingWriter::Compression compression = RecordingWriter::Compression::deflate;
    lep3_object_params_t object{};
    std::vector<lep3::thermo::NamedRegion> regions;
};

// "rec.tif" gives "rec-celsius.tif".
std::string celsius_path_for(const std::string &path)
{
    std::filesystem::path p(path);
    const std::string ext = p.has_extension() ? p.extension().string() : ".tif";
    return (p.parent_path() / (p.stem().string() + "-celsius" + ext)).string();
}

RecordOptions parse_options(const ParsedArgs &args)
{
    if (!args.positionals().empty())
        throw UsageError("record takes no arguments; the file is given with -o");
    RecordOptions o;
    const auto out = args.value("output");
    if (!out || out->empty())
        throw UsageError("record needs the file to write, with -o FILE");
    o.path = *out;
    if (args.has("celsius"))
        o.celsius_path = celsius_path_for(o.path);
    if (args.has("seconds") && args.has("count"))
        throw UsageError("--seconds and -n exclude each other");
    if (auto s = args.value("seconds")) {
        const double seconds = parse_number(*s, "--seconds");
        if (seconds <= 0)
            throw UsageError("--seconds must be above 0");
        o.seconds = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    }
    if (auto n = args.value("count"))
        o.count = static_cast<uint64_t>(parse_integer(*n, "-n", 1, kMaxCount));
    if (auto set = args.value("rbfo"))
        o.rbfo_set = parse_rbfo_set(*set);
    if (args.has("bigtiff"))
        o.container = RecordingWriter::Container::big;
    if (args.has("no-compress"))
        o.compression = RecordingWriter::Compression::none;
    o.object = parse_object_settings(args).params;
    o.regions = parse_regions(args);
    // A recording is not replaced by accident, nor written through a link.
    for (const std::string *p : {&o.path, &o.celsius_path})
        if (!p->empty() && std::filesystem::exists(std::filesystem::symlink_status(*p)))
            throw UsageError(*p + " exists; remove it or choose another name");
    return o;
}

rec::FileInfo file_info(rec::Values values, const RecordOptions &o)
{
    rec::FileInfo f;
    f.values = values;
    f.object = o.object;
    f.regions = o.regions;
    f.library_version = LEP3_GetLibraryVersion();
    uint32_t firmware = 0;
    if (awaiting_reply([&] { return LEP3_GetFirmwareVersion(&firmware); }) == 0)
        f.firmware_version = firmware;
    uint64_t serial = 0;
    if (awaiting_reply([&] { return LEP3_GetSysFlirSerialNumber(&serial); }) == 0)
        f.serial_number = serial;
    return f;
}

int64_t clock_ns(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The UTC time, in microseconds, of a moment on the monotonic clock shortly before now.
int64_t utc_us_of(uint64_t monotonic_ns)
{
    const int64_t ago_ns = clock_ns(CLOCK_MONOTONIC) - static_cast<int64_t>(monotonic_ns);
    return (clock_ns(CLOCK_REALTIME) - ago_ns) / 1000;
}

std::string size_text(uint64_t bytes)
{
    const auto b = static_cast<double>(bytes);
    return b < 1e6 ? format_text("%.1f kB", b / 1e3) : format_text("%.1f MB", b / 1e6);
}

// "1 frame", "2 frames".
std::string count_text(uint64_t n, const char *noun)
{
    return format_text("%llu %s%s", static_cast<unsigned long long>(n), noun, n == 1 ? "" : "s");
}

std::string tally_text(const rec::Tally &t)
{
    std::string s = count_text(t.frames, "frame") + ", " + count_text(t.gaps, "gap");
    if (t.missing > 0)
        s += " (" + count_text(t.missing, "frame") + " missed)";
    if (t.unconfirmed > 0)
        s += ", " + count_text(t.unconfirmed, "frame") + " without a confirmed check byte";
    return s + format_text(", %.1f s", t.seconds());
}

// The Celsius page of a raw frame: NaN throughout when there is no R, O to convert with;
// the plain conversion at the default object parameters, the object's otherwise.
void celsius_page(const uint16_t *raw, const std::optional<rec::Rbfo> &rbfo, const lep3_object_params_t &object,
                  std::vector<float> &out)
{
    if (!rbfo) {
        std::fill(out.begin(), out.end(), std::numeric_limits<float>::quiet_NaN());
        return;
    }
    const auto r = static_cast<int32_t>(rbfo->r), offset = static_cast<int32_t>(rbfo->o);
    if (!rec::is_black_body(object)) {
        LEP3_RawToObjectCelsius(raw, out.data(), r, offset, &object); // the parameters were checked when parsed
        return;
    }
    LEP3_LuxToKelvin(raw, out.data(), r, offset);
    LEP3_KelvinToCelsius(out.data());
}

int run_record(const ParsedArgs &args)
{
    const RecordOptions o = parse_options(args);
    // A file-size limit ends a write with an error the recording reports, not the process.
    (void)std::signal(SIGXFSZ, SIG_IGN);

    Session session(session_options(args));
    check_result(LEP3_GetRawVideo(), "the video request");
    const rec::FileInfo raw_info = file_info(rec::Values::raw, o);
    const rec::TelemetrySource source{LEP3_GetSysFpaTemperatureCelcius, o.rbfo_set == RbfoSet::internal
                                                                            ? LEP3_GetRadRBFOInternal0
                                                                            : LEP3_GetRadRBFOExternal0};
    const Telemetry telemetry(source, awaiting_reply([&] { return Telemetry::read(source); }));
    if (!telemetry.latest().rbfo)
        warning("the camera's %s RBFO parameters can't be read; pages will say so until they can",
                std::string(rbfo_set_name(o.rbfo_set)).c_str());

    RecordingWriter raw(o.path, raw_info, o.container, o.compression);
    std::unique_ptr<RecordingWriter> celsius;
    if (!o.celsius_path.empty()) {
        rec::FileInfo celsius_info = raw_info;
        celsius_info.values = rec::Values::celsius;
        celsius = std::make_unique<RecordingWriter>(o.celsius_path, celsius_info, o.container, o.compression);
    }
    print("recording to %s%s%s; stop with Ctrl-C\n", o.path.c_str(), celsius ? " and " : "",
          celsius ? o.celsius_path.c_str() : "");
    flush_output();

    std::vector<uint16_t> frame(rec::kPixels * 3 / 2); // room for an RGB frame still on its way
    std::vector<float> temps(rec::kPixels);
    rec::Tally tally; // of the pages both files hold
    std::string failure;
    const bool terminal = out_is_terminal();
    const auto start = Clock::now();
    auto last_frame = start;
    auto last_progress = start;
    while (!stop_requested()) {
        if ((o.seconds && Clock::now() - start >= *o.seconds) || (o.count && tally.frames >= *o.count))
            break;
        lep3_frame_info_t fi{};
        const int rc = LEP3_WaitFrame(frame.data(), frame.size() * sizeof(uint16_t), &fi, kWaitSliceMs);
        if (rc == -6) {
            failure = "the bridge at " + session.device() + " is gone";
            break;
        }
        if (rc == -2 && Clock::now() - last_frame >= kFrameWait) {
            failure = "no frame from the bridge at " + session.device() + " for 5 seconds";
            break;
        }
        if (rc != 0 || fi.format != kFormatRaw)
            continue;
        last_frame = Clock::now();

        const Telemetry::Reading reading = telemetry.latest();
        rec::PageInfo page;
        page.frame_number = fi.frame_number;
        page.host_time_us = utc_us_of(fi.completed_ns);
        page.check_ok = fi.check_ok != 0;
        page.fpa_celsius = reading.fpa_celsius;
        page.rbfo_set = rbfo_set_name(o.rbfo_set);
        page.rbfo = reading.rbfo;
        try {
            raw.add(page, frame.data());
            if (celsius) {
                celsius_page(frame.data(), page.rbfo, o.object, temps);
                celsius->add(page, temps.data());
            }
        } catch (const WriteError &e) {
            failure = e.what();
            break;
        }
        tally.add(page);
        if (terminal && Clock::now() - last_progress >= kProgressEvery) {
            last_progress = Clock::now();
            print("\r\033[K%s, %s", tally_text(tally).c_str(), size_text(raw.bytes()).c_str());
            flush_output();
        }
    }
    if (terminal)
        print("\r\033[K");

    // The two files keep the same frames: a raw page whose Celsius page failed goes.
    const uint64_t keep = tally.frames;
    const uint64_t raw_bytes = raw.finish(keep);
    const uint64_t celsius_bytes = celsius ? celsius->finish(keep) : 0;
    if (keep == 0) {
        print("no frame was recorded; no file was left\n");
    } else {
        print("%s: %s, %s\n", o.path.c_str(), tally_text(tally).c_str(), size_text(raw_bytes).c_str());
        if (celsius)
            print("%s: %s, %s\n", o.celsius_path.c_str(), count_text(keep, "frame").c_str(),
                  size_text(celsius_bytes).c_str());
    }
    flush_output();
    if (!failure.empty()) {
        error("%s; the recording stops%s", failure.c_str(), keep > 0 ? " and holds every frame before it" : "");
        return kExitFailure;
    }
    // Ctrl-C is the ordinary end of a recording without a limit.
    if (stop_requested() && (o.seconds || o.count))
        return interrupted_status();
    return kExitOk;
}

} // namespace

const Command kRecordCommand = {
    "record",
    "-o FILE [--seconds S | -n N] [--celsius] [--rbfo SET] [--bigtiff] [--no-compress] [--emissivity E ...] "
    "[--spot|--box|--line [NAME=]X0,Y0[,X1,Y1] ...]",
    "record every raw frame into one multi-page 16-bit TIFF with the metadata for temperatures",
    "One page a frame, losslessly compressed (Deflate with horizontal differencing, which\n"
    "every TIFF reader with Deflate opens; --no-compress for those without). Each page's\n"
    "description holds the frame number, the host time (UTC, microseconds), the FPA\n"
    "temperature, the R, B, F, O in use and whether the frame's check byte was confirmed; the\n"
    "first page's also the library and bridge firmware versions, the camera's serial number,\n"
    "how a value becomes kelvin, the object parameters (--emissivity, --reflected, --air,\n"
    "--humidity, --distance, --window, --window-temp; the Celsius pages are then the object's\n"
    "temperatures) and the regions given with --spot, --box and --line, for 'lep3 inspect' to\n"
    "measure later. Gaps in the frame numbers are frames the tool did not take in time. Each\n"
    "page is in the file before the next frame is taken: a recording cut by Ctrl-C, SIGHUP,\n"
    "an unplugged bridge or a full disk is a valid file of every complete frame.\n"
    "'lep3 inspect FILE' summarises it; 'lep3-bridge-sim --replay FILE' plays it back.",
    kOptions,
    run_record,
};

} // namespace lep3tool
