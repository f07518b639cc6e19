#include "serve/rtsp_output.h"

#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/rtsp-server/rtsp-server.h>

#include <array>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "hostkit/console.h"
#include "hostkit/frame_pump.h"
#include "serve/access_token.h"
#include "serve/reachable_hosts.h"
#include "serve/rtsp_token_auth.h"

namespace lep3tool::serve {

namespace {

using namespace std::chrono_literals;

constexpr const char *kPicturePath = "/lep3";
constexpr const char *kRawPath = "/lep3/raw";
// The pipelines' source, which this output feeds.
constexpr const char *kSourceName = "frames";
// Frames a pipeline's source may hold before the frames for it are dropped: enough to
// ride out a pause of the encoder, too few for a client to see old pictures.
constexpr guint64 kQueuedFrames = 2;
// How long the feeding thread waits for a frame before it looks whether to stop.
constexpr auto kFollowSlice = 200ms;
// How often sessions whose clients went silent are ended (their time-out is the server's).
constexpr guint kSessionSweepSeconds = 2;
// A key frame every second or so (the camera gives a little under nine frames a second),
// so that a client who joins sees a picture at once; 160 x 120 needs few bits, and one
// thread of the encoder a client.
constexpr int kKeyFrameInterval = 9;
constexpr int kBitrateKbitPerSecond = 512;

// The elements the pipelines need, and the Debian package that brings each.
struct Needed {
    const char *element;
    const char *package;
};
constexpr std::array<Needed, 5> kNeeded{{
    {"appsrc", "gstreamer1.0-plugins-base"},
    {"videoconvert", "gstreamer1.0-plugins-base"},
    {"x264enc", "gstreamer1.0-plugins-ugly"},
    {"rtph264pay", "gstreamer1.0-plugins-good"},
    {"rtpvrawpay", "gstreamer1.0-plugins-good"},
}};

enum class Stream { picture, raw };

// A source takes this output's frames; the rate is variable, a little under nine a second.
std::string frame_source(const char *format)
{
    return std::string("appsrc name=") + kSourceName +
           " is-live=true do-timestamp=true format=time caps=video/x-raw,format=" + format +
           ",width=" + std::to_string(kFrameWidth) + ",height=" + std::to_string(kFrameHeight) + ",framerate=0/1";
}

std::string picture_launch()
{
    return "( " + frame_source("RGB") +
           " ! videoconvert ! video/x-raw,format=I420 ! x264enc tune=zerolatency speed-preset=ultrafast threads=1 "
           "key-int-max=" +
           std::to_string(kKeyFrameInterval) + " bitrate=" + std::to_string(kBitrateKbitPerSecond) +
           " ! rtph264pay name=pay0 pt=96 config-interval=-1 )";
}

// RTP raw video has no grey samples of 16 bits in this payloader; 4:2:2 samples have the
// same two bytes a pixel, which it carries unchanged. A client takes each frame's 38 400
// bytes as 160 x 120 values, most significant byte first, row by row.
std::string raw_launch()
{
    return "( " + frame_source("UYVY") + " ! rtpvrawpay name=pay0 pt=96 )";
}

bool same_rbfo(const std::optional<lep3_rbfo_t> &a, const std::optional<lep3_rbfo_t> &b)
{
    if (a.has_value() != b.has_value())
        return false;
    return !a || (a->r == b->r && a->b == b->b && a->f == b->f && a->o == b->o);
}

// GLib's objects, each given back by its own function.
template <class T, auto Release> struct Released {
    void operator()(T *p) const { Release(p); }
};
void destroy_source(GSource *source)
{
    g_source_destroy(source);
    g_source_unref(source);
}
using MainContext = std::unique_ptr<GMainContext, Released<GMainContext, g_main_context_unref>>;
using MainLoop = std::unique_ptr<GMainLoop, Released<GMainLoop, g_main_loop_unref>>;
using Server = std::unique_ptr<GstRTSPServer, Released<GstRTSPServer, g_object_unref>>;
using Source = std::unique_ptr<GSource, Released<GSource, destroy_source>>;

GstBuffer *buffer_of(const std::vector<uint8_t> &bytes)
{
    return gst_buffer_new_memdup(bytes.data(), bytes.size());
}

class RtspOutput : public Output {
  public:
    RtspOutput(FrameHub &hub, const RtspSettings &settings, const ServiceLog &log);
    ~RtspOutput() override;
    RtspOutput(const RtspOutput &) = delete;
    RtspOutput &operator=(const RtspOutput &) = delete;

    std::string_view name() const override { return "rtsp"; }
    void start() override;
    void stop() override;
    bool running() const override { return true; }

  private:
    struct Pipeline {
        Stream stream;
        GstRTSPMedia *media; // a reference of our own
        GstElement *source;  // a reference of our own
    };
    // What a factory's signal tells which stream it is.
    struct FactoryHook {
        RtspOutput *output;
        Stream stream;
    };

    void add_factory(GstRTSPMountPoints *mounts, const char *path, const std::string &launch, FactoryHook &hook);
    static void media_configured(GstRTSPMediaFactory *factory, GstRTSPMedia *media, gpointer data);
    static void media_unprepared(GstRTSPMedia *media, gpointer data);
    static gboolean sweep_sessions(gpointer server);
    void release(const Pipeline &p);

    void feed();
    void deliver(const ViewFrame &frame);
    GstBuffer *picture_buffer(const ViewFrame &frame);
    static GstBuffer *raw_buffer(const ViewFrame &frame);

    FrameHub &hub_;
    const RtspSettings settings_;
    const ServiceLog &log_;
    const std::string token_;
    std::array<FactoryHook, 2> hooks_;

    MainContext context_;
    MainLoop loop_;
    Server server_;
    Source listener_;
    Source sweeper_;

    std::mutex mutex_; // guards pipelines_
    std::vector<Pipeline> pipelines_;

    std::optional<GreyConverter> grey_;    // the feeding thread's own
    std::optional<lep3_rbfo_t> grey_rbfo_; // the feeding thread's own: what grey_ was made for
    bool style_refused_ = false;           // the feeding thread's own
    std::atomic<uint64_t> dropped_{0};
    std::atomic<bool> stopping_{false};
    bool stopped_ = false;
    std::thread loop_thread_;
    std::thread feeder_;
};

RtspOutput::RtspOutput(FrameHub &hub, const RtspSettings &settings, const ServiceLog &log)
    : hub_(hub), settings_(settings), log_(log),
      token_(is_loopback(settings.address) ? "" : make_token()), hooks_{{{this, Stream::picture}, {this, Stream::raw}}}
{
    GError *error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &error)) {
        const std::string why = error ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("RTSP needs GStreamer, which could not start: " + why);
    }
    for (const Needed &n : kNeeded) {
        GstElementFactory *found = gst_element_factory_find(n.element);
        if (found == nullptr)
            throw std::runtime_error(std::string("RTSP needs GStreamer's ") + n.element + " element: install " +
                                     n.package);
        gst_object_unref(found);
    }

    context_.reset(g_main_context_new());
    loop_.reset(g_main_loop_new(context_.get(), FALSE));
    server_.reset(gst_rtsp_server_new());
    gst_rtsp_server_set_address(server_.get(), settings_.address.c_str());
    gst_rtsp_server_set_service(server_.get(), std::to_string(settings_.port).c_str());
    GstRTSPMountPoints *mounts = gst_rtsp_server_get_mount_points(server_.get());
    add_factory(mounts, kPicturePath, picture_launch(), hooks_[0]);
    add_factory(mounts, kRawPath, raw_launch(), hooks_[1]);
    g_object_unref(mounts);
    if (!token_.empty()) {
        GstRTSPAuth *auth = make_rtsp_token_auth(token_);
        gst_rtsp_server_set_auth(server_.get(), auth);
        g_object_unref(auth);
    }

    listener_.reset(gst_rtsp_server_create_source(server_.get(), nullptr, &error));
    if (!listener_) {
        const std::string why = error ? error->message : "unknown";
        g_clear_error(&error);
        throw std::runtime_error("cannot serve RTSP on " + settings_.address + " port " +
                                 std::to_string(settings_.port) + ": " + why);
    }
    g_source_attach(listener_.get(), context_.get());
    sweeper_.reset(g_timeout_source_new_seconds(kSessionSweepSeconds));
    g_source_set_callback(sweeper_.get(), sweep_sessions, server_.get(), nullptr);
    g_source_attach(sweeper_.get(), context_.get());
}

RtspOutput::~RtspOutput()
{
    RtspOutput::stop();
}

void RtspOutput::add_factory(GstRTSPMountPoints *mounts, const char *path, const std::string &launch, FactoryHook &hook)
{
    GstRTSPMediaFactory *factory = gst_rtsp_media_factory_new();
    gst_rtsp_media_factory_set_launch(factory, launch.c_str());
    // A pipeline (and encoder) per client, each with its own short queue: a client that
    // stalls its TCP connection holds up its own pipeline alone. The frames are coloured
    // once for all of them.
    gst_rtsp_media_factory_set_shared(factory, FALSE);
    if (!token_.empty())
        gst_rtsp_media_factory_add_role(factory, kRtspViewerRole, GST_RTSP_PERM_MEDIA_FACTORY_ACCESS, G_TYPE_BOOLEAN,
                                        TRUE, GST_RTSP_PERM_MEDIA_FACTORY_CONSTRUCT, G_TYPE_BOOLEAN, TRUE, nullptr);
    g_signal_connect(factory, "media-configure", G_CALLBACK(media_configured), &hook);
    gst_rtsp_mount_points_add_factory(mounts, path, factory); // takes our reference
}

void RtspOutput::media_configured(GstRTSPMediaFactory *, GstRTSPMedia *media, gpointer data)
{
    const auto *hook = static_cast<FactoryHook *>(data);
    GstElement *bin = gst_rtsp_media_get_element(media);
    GstElement *source = gst_bin_get_by_name_recurse_up(GST_BIN(bin), kSourceName);
    gst_object_unref(bin);
    if (source == nullptr)
        return;
    g_signal_connect(media, "unprepared", G_CALLBACK(media_unprepared), hook->output);
    const std::lock_guard lock(hook->output->mutex_);
    hook->output->pipelines_.push_back({hook->stream, GST_RTSP_MEDIA(g_object_ref(media)), source});
}

void RtspOutput::media_unprepared(GstRTSPMedia *media, gpointer data)
{
    auto *self = static_cast<RtspOutput *>(data);
    std::vector<Pipeline> gone;
    {
        const std::lock_guard lock(self->mutex_);
        std::erase_if(self->pipelines_, [&](const Pipeline &p) {
            if (p.media != media)
                return false;
            gone.push_back(p);
            return true;
        });
    }
    for (const Pipeline &p : gone)
        self->release(p);
}

void RtspOutput::release(const Pipeline &p)
{
    g_signal_handlers_disconnect_by_data(p.media, this);
    gst_object_unref(p.source);
    g_object_unref(p.media);
}

gboolean RtspOutput::sweep_sessions(gpointer server)
{
    GstRTSPSessionPool *pool = gst_rtsp_server_get_session_pool(GST_RTSP_SERVER(server));
    gst_rtsp_session_pool_cleanup(pool);
    g_object_unref(pool);
    return G_SOURCE_CONTINUE;
}

void RtspOutput::start()
{
    loop_thread_ = std::thread([this] { g_main_loop_run(loop_.get()); });
    feeder_ = std::thread([this] { feed(); });
    const std::string port = std::to_string(gst_rtsp_server_get_bound_port(server_.get()));
    for (const auto &host : reachable_hosts(settings_.address)) {
        std::string base = "rtsp://";
        if (!token_.empty())
            base.append("lep3:").append(token_).append("@");
        base.append(host).append(":").append(port);
        log_.say(kLogNotice, "RTSP: the picture is at %s%s, the raw frames at %s%s", base.c_str(), kPicturePath,
                 base.c_str(), kRawPath);
    }
    if (!token_.empty())
        log_.say(kLogNotice, "Only those who have these addresses with their token can watch over RTSP.");
}

void RtspOutput::stop()
{
    if (stopped_ || !loop_thread_.joinable())
        return;
    stopped_ = true;
    stopping_ = true;
    feeder_.join();
    // Closing the clients ends their sessions; the pipelines left are ended here.
    gst_rtsp_server_client_filter(
        server_.get(), [](GstRTSPServer *, GstRTSPClient *, gpointer) { return GST_RTSP_FILTER_REMOVE; }, nullptr);
    g_main_loop_quit(loop_.get());
    loop_thread_.join();
    std::vector<Pipeline> left;
    {
        const std::lock_guard lock(mutex_);
        left.swap(pipelines_);
    }
    for (const Pipeline &p : left) {
        g_signal_handlers_disconnect_by_data(p.media, this);
        gst_rtsp_media_unprepare(p.media);
        release(p);
    }
    if (const uint64_t dropped = dropped_.load())
        log_.say(kLogInfo, "RTSP: %llu frames were dropped for clients that fell behind",
                 static_cast<unsigned long long>(dropped));
}

void RtspOutput::feed()
{
    uint64_t seq = 0;
    while (!stopping_) {
        const auto frame = hub_.wait_newer(seq, kFollowSlice);
        if (!frame) {
            if (hub_.closed())
                return;
            continue;
        }
        seq = frame->seq;
        deliver(*frame);
    }
}

void RtspOutput::deliver(const ViewFrame &frame)
{
    std::vector<std::pair<Stream, GstElement *>> targets;
    {
        const std::lock_guard lock(mutex_);
        for (const Pipeline &p : pipelines_)
            targets.emplace_back(p.stream, GST_ELEMENT(gst_object_ref(p.source)));
    }
    GstBuffer *picture = nullptr;
    GstBuffer *raw = nullptr;
    for (const auto &[stream, source] : targets) {
        GstAppSrc *app = GST_APP_SRC(source);
        if (gst_app_src_get_current_level_buffers(app) >= kQueuedFrames) {
            ++dropped_;
        } else if (stream == Stream::picture) {
            if (picture == nullptr)
                picture = picture_buffer(frame);
            gst_app_src_push_buffer(app, gst_buffer_ref(picture));
        } else {
            if (raw == nullptr)
                raw = raw_buffer(frame);
            gst_app_src_push_buffer(app, gst_buffer_ref(raw));
        }
        gst_object_unref(source);
    }
    if (picture != nullptr)
        gst_buffer_unref(picture);
    if (raw != nullptr)
        gst_buffer_unref(raw);
}

GstBuffer *RtspOutput::picture_buffer(const ViewFrame &frame)
{
    const PictureStyle &style = settings_.style;
    try {
        // A range in degrees is the camera's RBFO parameters' own: new ones, a new range.
        if (!grey_ || (style.range.mode == FrameRange::Mode::celsius && !same_rbfo(grey_rbfo_, frame.rbfo))) {
            grey_.emplace(grey_converter(frame, style));
            grey_rbfo_ = frame.rbfo;
        }
        GstBuffer *buffer = buffer_of(colour_frame(frame, style, *grey_).rgb);
        if (style_refused_)
            log_.say(kLogNotice, "RTSP: temperatures are back, and with them the picture's range and isotherm");
        style_refused_ = false;
        return buffer;
    } catch (const UsageError &e) {
        // Without temperatures the picture goes on in the palette over each frame's range.
        if (!style_refused_)
            log_.say(kLogWarning, "RTSP: %s; the picture takes each frame's range until they can", e.what());
        style_refused_ = true;
        grey_.reset();
        PictureStyle plain;
        plain.palette = style.palette;
        GreyConverter automatic(plain.range, std::nullopt);
        return buffer_of(colour_frame(frame, plain, automatic).rgb);
    }
}

GstBuffer *RtspOutput::raw_buffer(const ViewFrame &frame)
{
    GstBuffer *buffer = gst_buffer_new_allocate(nullptr, frame.raw.size() * 2, nullptr);
    GstMapInfo map;
    gst_buffer_map(buffer, &map, GST_MAP_WRITE);
    for (size_t i = 0; i < frame.raw.size(); ++i) {
        map.data[2 * i] = static_cast<uint8_t>(frame.raw[i] >> 8);
        map.data[2 * i + 1] = static_cast<uint8_t>(frame.raw[i] & 0xff);
    }
    gst_buffer_unmap(buffer, &map);
    return buffer;
}

} // namespace

std::optional<RtspSettings> rtsp_settings(const ParsedArgs &args, const std::string &address)
{
    const auto port = args.value("rtsp-port");
    if (!port) {
        for (const char *companion : {"rtsp-palette", "rtsp-range", "rtsp-isotherm"})
            if (args.has(companion))
                throw UsageError(std::string("--") + companion + " needs --rtsp-port");
        return std::nullopt;
    }
    RtspSettings settings;
    settings.address = address;
    settings.port = static_cast<int>(parse_integer(*port, "--rtsp-port", 0, 65535));
    settings.style = parse_picture_style(args.value("rtsp-palette"), args.value("rtsp-range"));
    if (const auto band = args.value("rtsp-isotherm"))
        settings.style.isotherm = parse_isotherm_band(*band);
    return settings;
}

std::unique_ptr<Output> make_rtsp_output(FrameHub &hub, const RtspSettings &settings, const ServiceLog &log)
{
    return std::make_unique<RtspOutput>(hub, settings, log);
}

} // namespace lep3tool::serve
