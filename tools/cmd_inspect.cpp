// lep3 inspect: a recording's summary and metadata, without a camera, and its regions
// measured again, with the recorded object parameters or others.
#include <cinttypes>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "hostkit/console.h"
#include "hostkit/firmware_version.h"
#include "hostkit/text_format.h"
#include "hostkit/thermography.h"
#include "lep3.h"
#include "recording/reader.h"
#include "tools/commands.h"

namespace lep3tool {

namespace {

namespace rec = lep3::recording;

constexpr OptionDef kInspectOptions[] = {
    {"pages", 0, "", "also print every page's metadata, one line each"},
    {"measure", 0, "", "measure the regions on every page (implied by the options below)"},
    {"page", 0, "N[:M]", "measure on page N only, or pages N to M (counted from 1)"},
};
constexpr auto kOptions = join_options(kInspectOptions, kObjectOptions, kRegionOptions);

// Each object option given replaces that one recorded parameter.
struct ObjectField {
    std::string_view option;
    float lep3_object_params_t::*field;
};
constexpr ObjectField kObjectFields[] = {
    {"emissivity", &lep3_object_params_t::emissivity},
    {"reflected", &lep3_object_params_t::reflected_c},
    {"air", &lep3_object_params_t::air_c},
    {"humidity", &lep3_object_params_t::humidity},
    {"distance", &lep3_object_params_t::distance_m},
    {"window", &lep3_object_params_t::window_transmission},
    {"window-temp", &lep3_object_params_t::window_c},
};

struct Measuring {
    lep3_object_params_t object{};
    bool object_given = false;
    std::vector<lep3::thermo::NamedRegion> regions;
    uint64_t first = 1, last = 0; // pages, from 1
};

lep3_object_params_t recorded_object(const rec::FileInfo &f)
{
    if (f.object)
        return *f.object;
    lep3_object_params_t p{};
    LEP3_DefaultObjectParams(&p);
    return p;
}

std::string regions_text(const std::vector<lep3::thermo::NamedRegion> &regions)
{
    std::string text;
    for (const auto &r : regions)
        text += (text.empty() ? "" : "; ") + rec::describe_region(r);
    return text.empty() ? "none" : text;
}

std::string rbfo_text(const rec::Rbfo &r)
{
    return format_text("R %" PRIu32 ", B %" PRIu32 ", F %" PRIu32 ", O %" PRIu32, r.r, r.b, r.f, r.o);
}

void print_summary(const rec::RecordingReader &reader)
{
    const rec::FileInfo &f = reader.file();
    const rec::Survey &s = reader.survey();
    const rec::Tally &t = s.tally;
    const bool raw = f.values == rec::Values::raw;
    print("%s\n", reader.path().c_str());
    print("  values:          %s, 160x120\n", raw ? "raw, 16-bit unsigned" : "degrees Celsius, 32-bit float");
    print("  frames:          %" PRIu64 " (numbers %" PRIu32 "..%" PRIu32 "; %" PRIu64 " gaps, %" PRIu64
          " frames missed)\n",
          t.frames, t.first_frame, t.last_frame, t.gaps, t.missing);
    const double secs = t.seconds();
    print("  time:            %s to %s (%.1f s%s)\n", rec::utc_text(t.first_us).c_str(),
          rec::utc_text(t.last_us).c_str(), secs,
          secs > 0 ? format_text(", %.2f frames/s", static_cast<double>(t.frames - 1) / secs).c_str() : "");
    const std::string storage =
        s.compressed_pages == t.frames ? "Deflate"
        : s.compressed_pages == 0
            ? "uncompressed"
            : format_text("%" PRIu64 " pages Deflate, the others uncompressed", s.compressed_pages);
    print("  size:            %.1f MB (%.1f kB a frame, %s)\n", static_cast<double>(s.bytes) / 1e6,
          static_cast<double>(s.bytes) / 1e3 / static_cast<double>(t.frames), storage.c_str());
    print("  library:         %s\n", f.library_version.c_str());
    print("  bridge firmware: %s\n", f.firmware_version ? version_text(*f.firmware_version).c_str() : "unavailable");
    print("  camera serial:   %s\n",
          f.serial_number ? format_text("0x%016" PRIx64, *f.serial_number).c_str() : "unavailable");
    if (s.fpa_min)
        print("  FPA temperature: %.2f to %.2f °C\n", static_cast<double>(*s.fpa_min), static_cast<double>(*s.fpa_max));
    else
        print("  FPA temperature: unavailable\n");
    std::string rbfo = s.first_rbfo ? rbfo_text(*s.first_rbfo) : "unavailable";
    if (s.first_rbfo && s.rbfo_changes > 0)
        rbfo += format_text(" at first; changed %" PRIu64 " times", s.rbfo_changes);
    if (s.first_rbfo && s.pages_without_rbfo > 0)
        rbfo += format_text("; unavailable on %" PRIu64 " pages", s.pages_without_rbfo);
    print("  RBFO (%s): %s\n", s.rbfo_set.c_str(), rbfo.c_str());
    if (t.unconfirmed == 0)
        print("  frame checks:    all confirmed\n");
    else
        print("  frame checks:    %" PRIu64 " not confirmed\n", t.unconfirmed);
    print("  temperature:     %s\n", std::string(rec::temperature_text(f)).c_str());
    print("  object:          %s\n", f.object ? object_text(*f.object).c_str() : "not recorded (the defaults)");
    print("  regions:         %s\n", regions_text(f.regions).c_str());
}

std::optional<Measuring> measuring_of(const ParsedArgs &args, const rec::RecordingReader &reader)
{
    const rec::FileInfo &f = reader.file();
    Measuring m;
    const lep3_object_params_t given = parse_object_settings(args).params;
    m.object = recorded_object(f);
    for (const ObjectField &o : kObjectFields)
        if (args.has(o.option)) {
            m.object.*o.field = given.*o.field;
            m.object_given = true;
        }
    m.regions = parse_regions(args);
    const bool asked = args.has("measure") || args.has("page") || m.object_given || !m.regions.empty();
    if (!asked)
        return std::nullopt;
    if (m.regions.empty())
        m.regions = f.regions;
    if (m.regions.empty())
        throw UsageError("the recording names no regions: give them with --spot, --box or --line");
    if (m.object_given && f.values != rec::Values::raw)
        throw UsageError("the pages of " + reader.path() +
                         " are temperatures already: give the object parameters with its raw recording");
    m.last = reader.pages();
    if (auto pages = args.value("page")) {
        const size_t colon = pages->find(':');
        const auto limit = static_cast<int64_t>(reader.pages());
        m.first = static_cast<uint64_t>(parse_integer(pages->substr(0, colon), "--page", 1, limit));
        m.last = colon == std::string::npos
                     ? m.first
                     : static_cast<uint64_t>(parse_integer(pages->substr(colon + 1), "--page", 1, limit));
        if (m.last < m.first)
            throw UsageError("--page runs from the first page to the last, not " + *pages);
    }
    return m;
}

// The regions' readings on the pages asked, each page's values through the library with
// the page's own R and O.
void print_readings(rec::RecordingReader &reader, const Measuring &m)
{
    const bool raw = reader.file().values == rec::Values::raw;
    print("\n%s:\n",
          raw ? ("readings with " + object_text(m.object)).c_str() : "readings of the recorded temperatures");
    std::vector<uint16_t> raw_values(rec::kPixels);
    std::vector<float> celsius(rec::kPixels);
    // A Celsius recording's pages are read as they are, a raw one's converted.
    const std::span<std::byte> values =
        raw ? std::as_writable_bytes(std::span(raw_values)) : std::as_writable_bytes(std::span(celsius));
    rec::PageInfo page;
    for (uint64_t n = 1; n <= m.last && reader.next(page, values); ++n) {
        if (n < m.first)
            continue;
        print("  page %" PRIu64 ", frame %" PRIu32 ", %s\n", n, page.frame_number,
              rec::utc_text(page.host_time_us).c_str());
        if (raw && !page.rbfo) {
            print("    no temperatures: the page's R, B, F, O are unavailable\n");
            continue;
        }
        if (raw && LEP3_RawToObjectCelsius(raw_values.data(), celsius.data(), static_cast<int32_t>(page.rbfo->r),
                                           static_cast<int32_t>(page.rbfo->o), &m.object) != 0) {
            throw std::runtime_error("the object parameters are out of range (" + object_text(m.object) + ")");
        }
        const std::vector<lep3_region_stats_t> stats = measure_regions(celsius, m.regions);
        for (size_t i = 0; i < stats.size(); ++i)
            print("    %s\n", region_text(m.regions[i], stats[i]).c_str());
    }
}

void print_pages(rec::RecordingReader &reader)
{
    const bool raw = reader.file().values == rec::Values::raw;
    std::vector<std::byte> values(rec::kPixels * (raw ? sizeof(uint16_t) : sizeof(float)));
    rec::PageInfo page;
    print("\n  page  frame  time                         FPA °C  R, B, F, O                         check\n");
    for (uint64_t n = 1; reader.next(page, values); ++n) {
        const std::string fpa = page.fpa_celsius ? format_text("%.2f", static_cast<double>(*page.fpa_celsius)) : "-";
        print("  %4" PRIu64 "  %5" PRIu32 "  %s  %6s  %-33s  %s\n", n, page.frame_number,
              rec::utc_text(page.host_time_us).c_str(), fpa.c_str(),
              page.rbfo ? rbfo_text(*page.rbfo).c_str() : "unavailable", page.check_ok ? "ok" : "not confirmed");
    }
}

int run_inspect(const ParsedArgs &args)
{
    if (args.positionals().size() != 1)
        throw UsageError("inspect takes one recording");
    rec::RecordingReader reader(args.positionals().front());
    const std::optional<Measuring> measuring = measuring_of(args, reader);
    print_summary(reader);
    if (args.has("pages")) {
        print_pages(reader);
        reader.rewind();
    }
    if (measuring)
        print_readings(reader, *measuring);
    return kExitOk;
}

} // namespace

const Command kInspectCommand = {
    "inspect",
    "FILE [--pages] [--measure] [--page N[:M]] [--emissivity E ...] "
    "[--spot|--box|--line [NAME=]X0,Y0[,X1,Y1] ...]",
    "summarise a recording made by 'lep3 record': frames, gaps, time, camera and conversion",
    "Reads the file only; no camera is needed. Every page is checked: a file that is not a\n"
    "complete recording is named with the page where it goes wrong. The summary shows the\n"
    "object parameters and the regions recorded with the file. --measure prints the regions'\n"
    "readings on every page (or on the pages of --page); object options given here replace\n"
    "the recorded parameter of the same name, and regions given here the recorded ones, so\n"
    "a raw recording is measured again as if taken with other settings.",
    kOptions,
    run_inspect,
};

} // namespace lep3tool
