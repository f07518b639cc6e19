// Diagnostic capture loops: stand-ins for the reader and parser loops that run a fixed
// number of passes and capture the traffic of the link into files in the capture
// directory, for a developer inspecting what the bridge sends.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "link/console.h"
#include "link/link_internal.h"
#include "link/output_file.h"

extern "C" {
LEP3_API uint8_t gray8_image[19200];
}

namespace lep3::link {

static_assert(sizeof gray8_image == kGray8FrameBytes);

namespace {

constexpr uint32_t kDefaultPasses = 10'000'000;
std::atomic<uint32_t> passes{kDefaultPasses};

// The capture directory is /tmp unless the host chose another, so the file is created
// without following anything planted at its name.
File create_capture(const char *name)
{
    const std::string path = std::string(LEP3_GetPath(LEP3_PATH_CAPTURE_DIR)) + "/" + name;
    return create_output_file(path.c_str());
}

// The routines' integer result travels as the thread's result pointer.
void *result(intptr_t code)
{
    return reinterpret_cast<void *>(code); // NOLINT(performance-no-int-to-ptr)
}

// A raw frame as an 8-bit image in the frame queue. gray8_image holds 19 200 bytes, so
// the descriptor handed along says so, whatever the frame header announced.
void complete_diagnostic_frame()
{
    steps::assemble_raw_frame();
    bump(link_counters.frames_raw);
    uint16_t max = 0;
    uint16_t min = 0;
    Gray14ToGray8(lepton_image, gray8_image, &max, &min, 0);
    frame_desc_t desc = frame_desc;
    desc.size = kGray8FrameBytes;
    LEP3_SendFrameToQueue(gray8_image, &desc);
    steps::expect_frame_check();
}

void complete_diagnostic_reply()
{
    lep3::console::put_line("got all command data");
    steps::expect_reply_check();
    // The camera-reset notice is posted like any other reply here.
    publish_reply_state(kReplyPosted);
    bump(link_counters.replies_posted);
}

void start_diagnostic_frame(uint32_t format, uint32_t size)
{
    frame_desc.format = format;
    frame_desc.size = size;
    parser_state = static_cast<int32_t>(ParserState::frame_tag);
}

} // namespace

void set_diagnostic_passes(uint32_t n)
{
    passes.store(n, std::memory_order_relaxed);
}

// The capture parser's table: frames only raw (length 0xFF or 0xF6, mode 0x00), the
// reply record not cleared at a reply's start, no reset check.
void parse_byte_diagnostic(uint8_t b)
{
    if (steps::before_table(b))
        return;
    switch (static_cast<ParserState>(parser_state)) {
    case ParserState::hunt:
        steps::hunt(b);
        break;
    case ParserState::sync:
        steps::sync(b);
        break;
    case ParserState::length:
        if (b == kFrameLength)
            start_diagnostic_frame(kFormatRaw, kRawFrameBytes);
        else if (b == kDiagRgbLength)
            start_diagnostic_frame(kFormatRgb, kRgbFrameBytes);
        else
            steps::reply_length(b, false);
        break;
    case ParserState::frame_tag:
        steps::frame_tag(b);
        break;
    case ParserState::mode:
        if (b == kModeRaw)
            steps::frame_header(ParserState::raw_data);
        else
            parser_state = static_cast<int32_t>(ParserState::hunt);
        break;
    case ParserState::raw_data:
        if (steps::frame_data(b, kRawPacketData))
            complete_diagnostic_frame();
        break;
    case ParserState::command_id:
        steps::command_id(b);
        break;
    case ParserState::type:
        steps::type(b);
        break;
    case ParserState::data:
        if (steps::reply_data(b))
            complete_diagnostic_reply();
        break;
    default:
        break;
    }
}

} // namespace lep3::link

using lep3::link::passes;
using lep3::link::result;

extern "C" LEP3_API void *LEP3_Read_Test_Thr(void * /*arg*/)
{
    lep3::console::put_line("Enter LEP_Read_Thr");
    const uint32_t total = passes.load(std::memory_order_relaxed);
    for (uint32_t reads = 0; reads < total;) {
        if (lep3::link::read_into_queue() != 0)
            ++reads;
    }
    return result(0);
}

extern "C" LEP3_API void *LEP3_Save_Data_Test_Thr(void * /*arg*/)
{
    lep3::console::put_line("Enter LEP_Save_Data_Test_Thr");
    const lep3::link::File file = lep3::link::create_capture("uartQueueData.bin");
    if (!file) {
        lep3::console::print("\nCan't create uartQueueData.bin\n");
        return result(-1);
    }
    const uint32_t total = passes.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < total; ++i) {
        const uint8_t b = dequeue_single(&uart_queue);
        (void)fwrite(&b, 1, 1, file.get()); // write errors are not examined
    }
    return result(0);
}

extern "C" LEP3_API void *LEP3_Parse_Test_Thr(void * /*arg*/)
{
    lep3::console::put_line("Enter LEP_Parse_Test_Thr");
    const lep3::link::File file = lep3::link::create_capture("parseTest.bin");
    if (!file) {
        lep3::console::print("\nCan't create parseTest.bin\n");
        return result(-1);
    }
    const uint32_t total = passes.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < total; ++i) {
        const uint8_t b = dequeue_single(&uart_queue);
        (void)fwrite(&b, 1, 1, file.get()); // write errors are not examined
        lep3::link::parse_byte_diagnostic(b);
    }
    return result(0);
}
