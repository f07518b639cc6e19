// lep3 serve's RTSP paths against the emulator, pulled by GStreamer's RTSP client (and
// ffprobe where it is installed) as a video recorder pulls them.

#include <filesystem>
#include <fstream>
#include <iterator>

#include "serve/view_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr size_t kRawFrameBytes = 160 * 120 * 2;
constexpr int kFrames = 30;
// identity's eos-after counts the buffer it ends on: one more lets kFrames through.
const std::string kEosAfter = "eos-after=" + std::to_string(kFrames + 1);

struct ProgramResult {
    int status = -1; // 137: killed at the limit
    std::string output;
};

using lep3::test::installed;

class RtspTest : public lep3::test::ViewTest {
  protected:
    void SetUp() override
    {
        ViewTest::SetUp();
#ifdef LEP3_HAVE_RTSP
        if (!installed("gst-launch-1.0"))
            GTEST_SKIP() << "no gst-launch-1.0";
        // GLib keeps a block of its own where LeakSanitizer doesn't always find it.
        setenv("LSAN_OPTIONS", "suppressions=" LEP3_SOURCE_DIR "/tests/gstreamer/lsan.supp", 1);
#endif
    }

    // lep3 serve with RTSP on a free port; keeps the port and the token it prints.
    void start_serving(std::vector<std::string> options = {})
    {
        std::vector<std::string> args = {"serve", "--device", options_.path, "--port", "0", "--rtsp-port", "0"};
        args.insert(args.end(), options.begin(), options.end());
        viewer_ = std::make_unique<lep3::test::ToolProcess>(args);
        ASSERT_NE(viewer_->wait_for_output("RTSP: the picture is at", 20s), std::string::npos)
            << viewer_->output() << viewer_->error_output();
        const auto found = lep3::test::search(viewer_->output(), "rtsp://(lep3:([0-9a-f]+)@)?[^ ]*:([0-9]+)/lep3");
        ASSERT_TRUE(found) << viewer_->output();
        rtsp_token_ = (*found)[2];
        rtsp_port_ = (*found)[3];
    }

    std::string url(const std::string &path) const
    {
        return "rtsp://127.0.0.1:" + rtsp_port_ + path;
    }

    // A program from PATH, its standard output and error together, killed after 20 s.
    static ProgramResult run(const std::vector<std::string> &args)
    {
        const auto r = lep3::test::start_program(args)->finish(20s);
        return {r.status, r.out + r.err};
    }

    // gst-launch-1.0 pulling kFrames of a path into a file through depayload, the elements
    // after the source, a word an argument.
    ProgramResult pull(const std::string &path_url, const std::vector<std::string> &depayload, const std::string &file,
                       const std::vector<std::string> &credentials = {})
    {
        std::vector<std::string> args = {"gst-launch-1.0", "-v", "rtspsrc", "location=" + path_url, "protocols=tcp"};
        args.insert(args.end(), credentials.begin(), credentials.end());
        args.push_back("!");
        args.insert(args.end(), depayload.begin(), depayload.end());
        for (const std::string &word : {std::string("!"), std::string("identity"), kEosAfter, std::string("!"),
                                        std::string("filesink"), "location=" + file})
            args.push_back(word);
        return run(args);
    }

    static size_t file_size(const std::string &file)
    {
        std::error_code ignored;
        const auto size = std::filesystem::file_size(file, ignored);
        return ignored ? 0 : static_cast<size_t>(size);
    }

    std::string rtsp_port_;
    std::string rtsp_token_;
};

#ifdef LEP3_HAVE_RTSP

TEST_F(RtspTest, BothPathsCarryThirtyFramesOfTheCamerasSize)
{
    start_serving();
    ASSERT_TRUE(rtsp_token_.empty()) << "a token on loopback";

    const std::string picture = path("picture.h264");
    const auto h264 =
        pull(url("/lep3"),
             {"rtph264depay", "!", "h264parse", "!", "video/x-h264,stream-format=byte-stream,alignment=au"}, picture);
    ASSERT_EQ(h264.status, 0) << h264.output;
    EXPECT_NE(h264.output.find("width=(int)160, height=(int)120"), std::string::npos) << h264.output;
    if (installed("ffprobe")) {
        // Decoded by another implementation: every frame a whole picture of the camera's size.
        const auto probe = run({"ffprobe", "-v", "error", "-count_frames", "-show_entries",
                                "stream=codec_name,width,height,nb_read_frames", "-of", "flat", picture});
        EXPECT_NE(probe.output.find("codec_name=\"h264\""), std::string::npos) << probe.output;
        EXPECT_NE(probe.output.find("width=160"), std::string::npos) << probe.output;
        EXPECT_NE(probe.output.find("height=120"), std::string::npos) << probe.output;
        EXPECT_NE(probe.output.find("nb_read_frames=\"" + std::to_string(kFrames) + "\""), std::string::npos)
            << probe.output;
    }

    const std::string raw = path("frames.raw");
    const auto rtpraw = pull(url("/lep3/raw"), {"rtpvrawdepay"}, raw);
    ASSERT_EQ(rtpraw.status, 0) << rtpraw.output;
    ASSERT_EQ(file_size(raw), kFrames * kRawFrameBytes);
    // The emulator's scene lies well inside 14 bits: its values read with the most
    // significant byte first, and only then, stay there.
    std::ifstream in(raw, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    size_t outside = 0;
    for (size_t i = 0; i < bytes.size(); i += 2)
        outside += static_cast<uint8_t>(bytes[i]) >= 0x40;
    EXPECT_EQ(outside, 0U);
}

TEST_F(RtspTest, ThePictureTakesTheConfiguredIsotherm)
{
    if (!installed("ffmpeg"))
        GTEST_SKIP() << "no ffmpeg to decode the picture";
    // A band around every temperature the scene can have: the whole picture is the band's red.
    start_serving({"--rtsp-isotherm", "-100C:2000C"});
    const std::string rgb = path("picture.rgb");
    const auto r = run({"ffmpeg", "-v", "error", "-rtsp_transport", "tcp", "-i", url("/lep3"), "-frames:v", "1", "-f",
                        "rawvideo", "-pix_fmt", "rgb24", rgb});
    ASSERT_EQ(r.status, 0) << r.output;
    std::ifstream in(rgb, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(bytes.size(), 160U * 120 * 3);
    double sum[3] = {};
    for (size_t i = 0; i < bytes.size(); ++i)
        sum[i % 3] += static_cast<uint8_t>(bytes[i]);
    // H.264 keeps colours only near their value.
    EXPECT_GT(sum[0] / (160 * 120), 200);
    EXPECT_LT(sum[1] / (160 * 120), 40);
    EXPECT_LT(sum[2] / (160 * 120), 40);
}

TEST_F(RtspTest, OffLoopbackOnlyTheTokenLetsAClientIn)
{
    start_serving({"--bind", "0.0.0.0"});
    ASSERT_FALSE(rtsp_token_.empty()) << viewer_->output();
    struct Case {
        const char *what;
        std::vector<std::string> credentials;
        bool admitted;
    };
    const Case cases[] = {
        {"no credentials", {}, false},
        {"a wrong token", {"user-id=lep3", "user-pw=0123456789abcdef0123456789abcdef"}, false},
        {"the token, under any user name", {"user-id=recorder", "user-pw=" + rtsp_token_}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string raw = path("frames.raw");
        std::filesystem::remove(raw);
        const auto r = pull(url("/lep3/raw"), {"rtpvrawdepay"}, raw, c.credentials);
        EXPECT_EQ(r.status == 0, c.admitted) << r.output;
        EXPECT_EQ(file_size(raw), c.admitted ? kFrames * kRawFrameBytes : 0U);
        if (!c.admitted) {
            EXPECT_NE(r.output.find("Unauthorized"), std::string::npos) << r.output;
        }
    }
    // Clients come and go without a trace: the service ends cleanly (and, under the
    // sanitizers, without a leak).
    const auto ended = stop_viewer(SIGTERM);
    EXPECT_EQ(ended.status, 0) << ended.err;
}

#else

TEST_F(RtspTest, WithoutRtspTheOptionSaysWhatIsMissing)
{
    const auto r = lep3::test::run_tool({"serve", "--device", options_.path, "--rtsp-port", "0"});
    lep3::test::expect_clean_failure(r, "built without RTSP: install libgstrtspserver-1.0-dev");
}

#endif

} // namespace
