// lep3 inspect: a recording's summary and metadata, without a camera.
#include <cinttypes>
#include <string>
#include <vector>

#include "recording/reader.h"
#include "tools/commands.h"
#include "tools/console.h"
#include "tools/firmware_version.h"
#include "tools/text_format.h"

namespace lep3tool {

namespace {

namespace rec = lep3::recording;

constexpr OptionDef kOptions[] = {
    {"pages", 0, "", "also print every page's metadata, one line each"},
};

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
    print("  size:            %.1f MB\n", static_cast<double>(s.bytes) / 1e6);
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
    print("  temperature:     %s\n", std::string(raw ? rec::kTemperatureText : rec::kCelsiusText).c_str());
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
    print_summary(reader);
    if (args.has("pages"))
        print_pages(reader);
    return kExitOk;
}

} // namespace

const Command kInspectCommand = {
    "inspect",
    "FILE [--pages]",
    "summarise a recording made by 'lep3 record': frames, gaps, time, camera and conversion",
    "Reads the file only; no camera is needed. Every page is checked: a file that is not a\n"
    "complete recording is named with the page where it goes wrong.",
    kOptions,
    run_inspect,
};

} // namespace lep3tool
