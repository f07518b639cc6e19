// lep3src: the element. The camera is opened in start and released in stop; caps are
// chosen in fixate and applied in set_caps, which asks the bridge for the matching video;
// fill waits for the newest frame in short slices so that a flush or a state change to
// NULL is noticed within one slice, and the time-out and the bridge's disappearance
// become element errors.
#include "gstreamer/lep3src.h"

#include <gst/video/video.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "gstreamer/emulator_process.h"
#include "gstreamer/library_messages.h"
#include "lep3.h"
#include "names/palettes.h"

GST_DEBUG_CATEGORY(gst_lep3_src_debug);
#define GST_CAT_DEFAULT gst_lep3_src_debug

namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr size_t kPixels = static_cast<size_t>(kWidth) * kHeight;
constexpr size_t kRgbBytes = kPixels * 3;
constexpr uint32_t kFormatRaw = 0;
constexpr uint32_t kFormatRgb = 1;
// The camera core delivers a little under nine frames a second; the caps say the rate is
// variable (framerate 0/1) with this maximum.
constexpr int kNominalFps = 9;
constexpr int kDefaultTimeoutMs = 3000;
// fill waits for a frame in slices of this length, so that unlock takes effect within one.
constexpr int kWaitSliceMs = 100;

// CLOCK_MONOTONIC times of frame completion, as reference timestamps on the buffers.
constexpr const char *kCompletionReference = "timestamp/x-lep3-monotonic";

enum class Colour { host, bridge };
enum class Output { raw, rgb_bridge, rgb_host };

enum Property : guint { PROP_0, PROP_DEVICE, PROP_SIM, PROP_PALETTE, PROP_COLOUR, PROP_TIMEOUT_MS, PROP_STATS };

// What the properties hold; read and written under the object lock.
struct Settings {
    std::string device;
    bool sim = false;
    uint32_t palette = lep3::names::kDefaultPalette;
    Colour colour = Colour::host;
    int timeout_ms = kDefaultTimeoutMs;
};

// The stats property; written by the streaming thread under the object lock.
struct Counters {
    guint64 frames = 0;       // buffers filled
    guint64 dropped = 0;      // frame numbers skipped between two buffers
    guint64 check_errors = 0; // frames whose packet check byte did not match
    guint64 reconnects = 0;   // times the library re-opened a returning bridge
};

struct State {
    Settings settings;
    Counters counters;

    // From start to stop.
    std::unique_ptr<lep3gst::EmulatorProcess> emulator;
    std::string device;
    uint64_t reconnects_at_open = 0;
    // The negotiated output; set_caps and fill both run in the streaming thread.
    GstVideoInfo info{};
    Output output = Output::raw;
    bool have_frame = false;
    uint32_t last_frame_number = 0;
    GstCaps *completion_reference = nullptr;
    // Set by unlock, cleared by unlock_stop; fill polls it between slices.
    std::atomic<bool> flushing{false};

    // Frame as the library delivers it (room for an RGB frame), and the host's colouring.
    std::vector<uint16_t> frame = std::vector<uint16_t>(kRgbBytes / 2);
    std::vector<uint8_t> gray8 = std::vector<uint8_t>(kPixels);
    std::vector<uint8_t> rgb = std::vector<uint8_t>(kRgbBytes);
};

// The library keeps one session per process: the element that holds it, and its name
// for the refusal of another.
struct CameraClaim {
    std::mutex lock;
    GstLep3Src *holder = nullptr;
    std::string holder_name;
};
CameraClaim camera_claim;

// True when self now holds the camera (or already did); otherwise the holder's name.
bool claim_camera(GstLep3Src *self, std::string *holder_name)
{
    const std::lock_guard guard(camera_claim.lock);
    if (camera_claim.holder != nullptr && camera_claim.holder != self) {
        *holder_name = camera_claim.holder_name;
        return false;
    }
    gchar *name = gst_object_get_name(GST_OBJECT(self));
    camera_claim.holder = self;
    camera_claim.holder_name = name != nullptr ? name : "";
    g_free(name);
    return true;
}

bool holds_camera(GstLep3Src *self)
{
    const std::lock_guard guard(camera_claim.lock);
    return camera_claim.holder == self;
}

void release_claim(GstLep3Src *self)
{
    const std::lock_guard guard(camera_claim.lock);
    if (camera_claim.holder == self)
        camera_claim.holder = nullptr;
}

// The library's own default device, as it was before any element opened another.
const std::string &default_device()
{
    static const std::string path = LEP3_GetPath(LEP3_PATH_UART);
    return path;
}

uint64_t monotonic_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t link_reconnects()
{
    lep3_link_stats_t stats{};
    LEP3_GetLinkStats(&stats);
    return stats.reconnects;
}

GType palette_get_type()
{
    static GType type = 0;
    if (g_once_init_enter(&type)) {
        // The names are the tool's, so a palette is called the same everywhere.
        static std::array<GEnumValue, lep3::names::kPaletteNames.size() + 1> values{};
        for (size_t i = 0; i < lep3::names::kPaletteNames.size(); ++i) {
            const std::string name(lep3::names::kPaletteNames[i]);
            values[i] = {static_cast<gint>(i), g_intern_string(name.c_str()), g_intern_string(name.c_str())};
        }
        values.back() = {0, nullptr, nullptr};
        g_once_init_leave(&type, g_enum_register_static("GstLep3SrcPalette", values.data()));
    }
    return type;
}

GType colour_get_type()
{
    static GType type = 0;
    if (g_once_init_enter(&type)) {
        static const GEnumValue values[] = {
            {static_cast<gint>(Colour::host), "Raw video from the bridge, coloured by this element through the palette",
             "host"},
            {static_cast<gint>(Colour::bridge), "The bridge's own RGB video (the palette does not apply)", "bridge"},
            {0, nullptr, nullptr},
        };
        g_once_init_leave(&type, g_enum_register_static("GstLep3SrcColour", values));
    }
    return type;
}

} // namespace

struct _GstLep3Src {
    GstPushSrc parent;
    State *state;
};

G_DEFINE_TYPE(GstLep3Src, gst_lep3_src, GST_TYPE_PUSH_SRC)
GST_ELEMENT_REGISTER_DEFINE(lep3src, "lep3src", GST_RANK_NONE, GST_TYPE_LEP3_SRC)

namespace {

// Raw values or RGB, of the one frame size, at a variable rate.
GstCaps *template_caps()
{
    gchar *text = g_strdup_printf("video/x-raw, format = (string) { GRAY16_LE, RGB }, width = (int) %d, height = (int) "
                                  "%d, framerate = (fraction) 0/1, max-framerate = (fraction) %d/1, "
                                  "pixel-aspect-ratio = (fraction) 1/1",
                                  kWidth, kHeight, kNominalFps);
    GstCaps *caps = gst_caps_from_string(text);
    g_free(text);
    return caps;
}

Settings settings_of(GstLep3Src *self)
{
    GST_OBJECT_LOCK(self);
    Settings s = self->state->settings;
    GST_OBJECT_UNLOCK(self);
    return s;
}

// One setting, for the streaming thread's use once per frame.
template <class T> T setting(GstLep3Src *self, T Settings::*field)
{
    GST_OBJECT_LOCK(self);
    T value = self->state->settings.*field;
    GST_OBJECT_UNLOCK(self);
    return value;
}

GstStructure *stats_structure(const Counters &c)
{
    return gst_structure_new("lep3src-stats", "frames", G_TYPE_UINT64, c.frames, "dropped", G_TYPE_UINT64, c.dropped,
                             "check-errors", G_TYPE_UINT64, c.check_errors, "reconnects", G_TYPE_UINT64, c.reconnects,
                             nullptr);
}

void gst_lep3_src_set_property(GObject *object, guint id, const GValue *value, GParamSpec *pspec)
{
    GstLep3Src *self = GST_LEP3_SRC(object);
    Settings &s = self->state->settings;
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_DEVICE: {
        const gchar *device = g_value_get_string(value);
        s.device = device != nullptr ? device : default_device();
        break;
    }
    case PROP_SIM:
        s.sim = g_value_get_boolean(value);
        break;
    case PROP_PALETTE:
        s.palette = static_cast<uint32_t>(g_value_get_enum(value));
        break;
    case PROP_COLOUR:
        s.colour = static_cast<Colour>(g_value_get_enum(value));
        break;
    case PROP_TIMEOUT_MS:
        s.timeout_ms = g_value_get_int(value);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        break;
    }
    GST_OBJECT_UNLOCK(self);
}

void gst_lep3_src_get_property(GObject *object, guint id, GValue *value, GParamSpec *pspec)
{
    GstLep3Src *self = GST_LEP3_SRC(object);
    const Settings &s = self->state->settings;
    GST_OBJECT_LOCK(self);
    switch (id) {
    case PROP_DEVICE:
        g_value_set_string(value, s.device.c_str());
        break;
    case PROP_SIM:
        g_value_set_boolean(value, s.sim);
        break;
    case PROP_PALETTE:
        g_value_set_enum(value, static_cast<gint>(s.palette));
        break;
    case PROP_COLOUR:
        g_value_set_enum(value, static_cast<gint>(s.colour));
        break;
    case PROP_TIMEOUT_MS:
        g_value_set_int(value, s.timeout_ms);
        break;
    case PROP_STATS:
        g_value_take_boxed(value, stats_structure(self->state->counters));
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
        break;
    }
    GST_OBJECT_UNLOCK(self);
}

void gst_lep3_src_finalize(GObject *object)
{
    GstLep3Src *self = GST_LEP3_SRC(object);
    delete self->state;
    self->state = nullptr;
    G_OBJECT_CLASS(gst_lep3_src_parent_class)->finalize(object);
}

// Undoes what start did, in reverse; safe on a partial start.
void release_camera(GstLep3Src *self, bool opened)
{
    State &st = *self->state;
    if (opened) {
        LEP3_Close();
        const uint64_t reconnects = link_reconnects() - st.reconnects_at_open;
        GST_OBJECT_LOCK(self);
        st.counters.reconnects = reconnects;
        GST_OBJECT_UNLOCK(self);
    }
    st.emulator.reset();
    if (st.completion_reference != nullptr) {
        gst_caps_unref(st.completion_reference);
        st.completion_reference = nullptr;
    }
    lep3gst::restore_library_messages();
    release_claim(self);
}

gboolean gst_lep3_src_start(GstBaseSrc *base)
{
    GstLep3Src *self = GST_LEP3_SRC(base);
    State &st = *self->state;
    const Settings s = settings_of(self);

    std::string holder;
    if (!claim_camera(self, &holder)) {
        GST_ELEMENT_ERROR(self, RESOURCE, BUSY,
                          ("Another lep3src in this process (%s) already has the camera: the library drives one "
                           "camera per process.",
                           holder.c_str()),
                          (nullptr));
        return FALSE;
    }
    lep3gst::route_library_messages();

    if (s.sim) {
        std::string why;
        st.emulator = lep3gst::EmulatorProcess::start(&why);
        if (!st.emulator) {
            GST_ELEMENT_ERROR(self, RESOURCE, NOT_FOUND, ("Cannot start the bridge emulator: %s.", why.c_str()),
                              (nullptr));
            release_camera(self, false);
            return FALSE;
        }
        st.device = st.emulator->device();
        GST_INFO_OBJECT(self, "emulator (process %d) at %s", static_cast<int>(st.emulator->pid()), st.device.c_str());
    } else {
        st.device = s.device;
    }

    int rc = 0;
    std::string said;
    {
        const lep3gst::MessageCapture capture;
        rc = LEP3_Open(st.device.c_str());
        said = capture.text();
    }
    if (rc != 0) {
        // The library says why (the holder of a bridge in use, a missing device, ...).
        if (said.empty())
            said = "Cannot open the bridge at " + st.device + ".";
        if (rc == -7)
            GST_ELEMENT_ERROR(self, RESOURCE, BUSY, ("%s", said.c_str()),
                              ("LEP3_Open(%s) returned %d", st.device.c_str(), rc));
        else
            GST_ELEMENT_ERROR(self, RESOURCE, OPEN_READ_WRITE, ("%s", said.c_str()),
                              ("LEP3_Open(%s) returned %d", st.device.c_str(), rc));
        release_camera(self, false);
        return FALSE;
    }

    st.reconnects_at_open = link_reconnects();
    st.have_frame = false;
    st.completion_reference = gst_caps_new_empty_simple(kCompletionReference);
    GST_OBJECT_LOCK(self);
    st.counters = Counters{};
    GST_OBJECT_UNLOCK(self);
    GST_INFO_OBJECT(self, "camera open at %s", st.device.c_str());
    return TRUE;
}

gboolean gst_lep3_src_stop(GstBaseSrc *base)
{
    GstLep3Src *self = GST_LEP3_SRC(base);
    if (!holds_camera(self))
        return TRUE; // start failed and released what it had taken
    release_camera(self, true);
    GST_INFO_OBJECT(self, "camera released");
    return TRUE;
}

// Raw values unless downstream insists on colour.
GstCaps *gst_lep3_src_fixate(GstBaseSrc *base, GstCaps *caps)
{
    GstCaps *raw = gst_caps_from_string("video/x-raw, format = (string) GRAY16_LE");
    GstCaps *preferred = gst_caps_intersect(caps, raw);
    gst_caps_unref(raw);
    if (gst_caps_is_empty(preferred)) {
        gst_caps_unref(preferred);
    } else {
        gst_caps_unref(caps);
        caps = preferred;
    }
    return GST_BASE_SRC_CLASS(gst_lep3_src_parent_class)->fixate(base, caps);
}

gboolean gst_lep3_src_set_caps(GstBaseSrc *base, GstCaps *caps)
{
    GstLep3Src *self = GST_LEP3_SRC(base);
    State &st = *self->state;
    GstVideoInfo info;
    if (!gst_video_info_from_caps(&info, caps))
        return FALSE;

    Output output = Output::raw;
    if (GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_RGB)
        output = setting(self, &Settings::colour) == Colour::bridge ? Output::rgb_bridge : Output::rgb_host;
    const int rc = output == Output::rgb_bridge ? LEP3_GetRGBVideo() : LEP3_GetRawVideo();
    if (rc != 0) {
        GST_ELEMENT_ERROR(self, RESOURCE, WRITE, ("Cannot ask the bridge at %s for video.", st.device.c_str()),
                          ("video request returned %d", rc));
        return FALSE;
    }
    st.info = info;
    st.output = output;
    GST_INFO_OBJECT(self, "streaming %" GST_PTR_FORMAT, caps);
    return TRUE;
}

// A video buffer pool sized for the negotiated frame, as every raw video source offers.
gboolean gst_lep3_src_decide_allocation(GstBaseSrc *base, GstQuery *query)
{
    GstLep3Src *self = GST_LEP3_SRC(base);
    const GstVideoInfo &info = self->state->info;
    GstBufferPool *pool = nullptr;
    guint size = 0;
    guint min = 0;
    guint max = 0;
    const bool update = gst_query_get_n_allocation_pools(query) > 0;
    if (update)
        gst_query_parse_nth_allocation_pool(query, 0, &pool, &size, &min, &max);
    size = std::max<guint>(size, static_cast<guint>(GST_VIDEO_INFO_SIZE(&info)));
    if (pool == nullptr)
        pool = gst_video_buffer_pool_new();

    GstCaps *caps = nullptr;
    gst_query_parse_allocation(query, &caps, nullptr);
    GstStructure *config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_set_params(config, caps, size, min, max);
    if (gst_query_find_allocation_meta(query, GST_VIDEO_META_API_TYPE, nullptr))
        gst_buffer_pool_config_add_option(config, GST_BUFFER_POOL_OPTION_VIDEO_META);
    gst_buffer_pool_set_config(pool, config);

    if (update)
        gst_query_set_nth_allocation_pool(query, 0, pool, size, min, max);
    else
        gst_query_add_allocation_pool(query, pool, size, min, max);
    gst_object_unref(pool);
    return GST_BASE_SRC_CLASS(gst_lep3_src_parent_class)->decide_allocation(base, query);
}

gboolean gst_lep3_src_query(GstBaseSrc *base, GstQuery *query)
{
    if (GST_QUERY_TYPE(query) == GST_QUERY_LATENCY) {
        // A buffer's time is when the library completed its frame, and it is pushed at
        // once; a frame waits in the library until the next one replaces it.
        const GstClockTime period = gst_util_uint64_scale_int(GST_SECOND, 1, kNominalFps);
        gst_query_set_latency(query, TRUE, 0, period);
        return TRUE;
    }
    return GST_BASE_SRC_CLASS(gst_lep3_src_parent_class)->query(base, query);
}

gboolean gst_lep3_src_unlock(GstBaseSrc *base)
{
    GST_LEP3_SRC(base)->state->flushing.store(true);
    return TRUE;
}

gboolean gst_lep3_src_unlock_stop(GstBaseSrc *base)
{
    GST_LEP3_SRC(base)->state->flushing.store(false);
    return TRUE;
}

// Waits for the newest frame of the negotiated form. A frame of the other form (sent
// before the bridge switched) is passed over; silence and a vanished bridge are waited
// out until the time-out, since the library re-opens a bridge that returns.
GstFlowReturn wait_for_frame(GstLep3Src *self, lep3_frame_info_t *frame)
{
    State &st = *self->state;
    const int timeout_ms = setting(self, &Settings::timeout_ms);
    const uint32_t wanted = st.output == Output::rgb_bridge ? kFormatRgb : kFormatRaw;
    const gint64 begun = g_get_monotonic_time();
    bool gone = false;
    for (;;) {
        if (st.flushing.load())
            return GST_FLOW_FLUSHING;
        const gint64 waited_ms = (g_get_monotonic_time() - begun) / 1000;
        if (timeout_ms > 0 && waited_ms >= timeout_ms) {
            if (gone)
                GST_ELEMENT_ERROR(self, RESOURCE, READ,
                                  ("The bridge at %s is gone (unplugged?) and did not come back within %d ms.",
                                   st.device.c_str(), timeout_ms),
                                  ("link state %d", LEP3_GetLinkState()));
            else
                GST_ELEMENT_ERROR(self, RESOURCE, READ,
                                  ("No frame from the bridge at %s for %d ms.", st.device.c_str(), timeout_ms),
                                  ("link state %d", LEP3_GetLinkState()));
            return GST_FLOW_ERROR;
        }
        const int slice =
            timeout_ms > 0 ? static_cast<int>(std::min<gint64>(kWaitSliceMs, timeout_ms - waited_ms)) : kWaitSliceMs;
        const gint64 slice_begun = g_get_monotonic_time();
        const int rc = LEP3_WaitFrame(st.frame.data(), st.frame.size() * sizeof(uint16_t), frame, slice);
        if (rc == 0) {
            if (frame->format == wanted)
                return GST_FLOW_OK;
            GST_DEBUG_OBJECT(self, "passing over frame %u of format %u", frame->frame_number, frame->format);
            continue;
        }
        if (rc == -2) {
            gone = false;
            continue;
        }
        if (rc == -6) {
            if (!gone)
                GST_WARNING_OBJECT(self, "the bridge at %s is gone; waiting up to %d ms for it to return",
                                   st.device.c_str(), timeout_ms);
            gone = true;
            // The library reports a vanished bridge at once: wait out the slice here.
            const gint64 left_us = slice * 1000 - (g_get_monotonic_time() - slice_begun);
            if (left_us > 0)
                g_usleep(static_cast<gulong>(left_us));
            continue;
        }
        GST_ELEMENT_ERROR(self, LIBRARY, FAILED, ("Cannot take a frame from the library."),
                          ("LEP3_WaitFrame returned %d", rc));
        return GST_FLOW_ERROR;
    }
}

// Copies a tightly packed frame into the buffer, honouring the pool's strides.
bool copy_frame(const GstVideoInfo &info, GstBuffer *buffer, const uint8_t *bytes)
{
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, const_cast<GstVideoInfo *>(&info), buffer, GST_MAP_WRITE))
        return false;
    const size_t row = static_cast<size_t>(GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, 0)) * kWidth;
    const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
    auto *dst = static_cast<uint8_t *>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    if (static_cast<size_t>(stride) == row) {
        std::memcpy(dst, bytes, row * kHeight);
    } else {
        for (int y = 0; y < kHeight; ++y)
            std::memcpy(dst + static_cast<size_t>(y) * stride, bytes + y * row, row);
    }
    gst_video_frame_unmap(&frame);
    return true;
}

// The running time at which the library completed the frame, by the pipeline clock.
void stamp(GstLep3Src *self, GstBuffer *buffer, const lep3_frame_info_t &frame)
{
    State &st = *self->state;
    GST_BUFFER_OFFSET(buffer) = frame.frame_number;
    GST_BUFFER_OFFSET_END(buffer) = frame.frame_number + 1;
    gst_buffer_add_reference_timestamp_meta(buffer, st.completion_reference, frame.completed_ns, GST_CLOCK_TIME_NONE);
    if (gst_base_src_get_do_timestamp(GST_BASE_SRC(self)))
        return; // the base class stamps the time of the push instead

    GstClock *clock = gst_element_get_clock(GST_ELEMENT(self));
    if (clock == nullptr)
        return;
    const GstClockTime base_time = gst_element_get_base_time(GST_ELEMENT(self));
    const GstClockTime now = gst_clock_get_time(clock);
    gst_object_unref(clock);
    const uint64_t mono = monotonic_ns();
    const GstClockTime age = mono > frame.completed_ns ? mono - frame.completed_ns : 0;
    const GstClockTime completed = now > age ? now - age : 0;
    GST_BUFFER_PTS(buffer) = completed > base_time ? completed - base_time : 0;
    // The rate varies a little; the nominal period lets muxers close the last frame.
    GST_BUFFER_DURATION(buffer) = gst_util_uint64_scale_int(GST_SECOND, 1, kNominalFps);
}

void count(GstLep3Src *self, GstBuffer *buffer, const lep3_frame_info_t &frame)
{
    State &st = *self->state;
    guint64 skipped = 0;
    if (st.have_frame && frame.frame_number > st.last_frame_number + 1)
        skipped = frame.frame_number - st.last_frame_number - 1;
    st.have_frame = true;
    st.last_frame_number = frame.frame_number;
    if (frame.check_ok == 0)
        GST_BUFFER_FLAG_SET(buffer, GST_BUFFER_FLAG_CORRUPTED);
    const uint64_t reconnects = link_reconnects() - st.reconnects_at_open;

    GST_OBJECT_LOCK(self);
    Counters &c = st.counters;
    c.frames++;
    c.dropped += skipped;
    c.check_errors += frame.check_ok == 0 ? 1 : 0;
    c.reconnects = reconnects;
    GST_OBJECT_UNLOCK(self);
}

GstFlowReturn gst_lep3_src_fill(GstPushSrc *push, GstBuffer *buffer)
{
    GstLep3Src *self = GST_LEP3_SRC(push);
    State &st = *self->state;
    lep3_frame_info_t frame{};
    const GstFlowReturn ret = wait_for_frame(self, &frame);
    if (ret != GST_FLOW_OK)
        return ret;

    const uint8_t *bytes = reinterpret_cast<const uint8_t *>(st.frame.data());
    if (st.output == Output::rgb_host) {
        uint16_t max = 0;
        uint16_t min = 0;
        Gray14ToGray8(st.frame.data(), st.gray8.data(), &max, &min, 0);
        Gray8ToRGB24(st.gray8.data(), st.rgb.data(), setting(self, &Settings::palette));
        bytes = st.rgb.data();
    }
    if (!copy_frame(st.info, buffer, bytes)) {
        GST_ELEMENT_ERROR(self, RESOURCE, WRITE, ("Cannot map a buffer for the frame."), (nullptr));
        return GST_FLOW_ERROR;
    }
    stamp(self, buffer, frame);
    count(self, buffer, frame);
    GST_LOG_OBJECT(self, "frame %u, %" GST_TIME_FORMAT, frame.frame_number, GST_TIME_ARGS(GST_BUFFER_PTS(buffer)));
    return GST_FLOW_OK;
}

} // namespace

static void gst_lep3_src_class_init(GstLep3SrcClass *klass)
{
    GObjectClass *object_class = G_OBJECT_CLASS(klass);
    GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
    GstBaseSrcClass *base_class = GST_BASE_SRC_CLASS(klass);
    GstPushSrcClass *push_class = GST_PUSH_SRC_CLASS(klass);

    GST_DEBUG_CATEGORY_INIT(gst_lep3_src_debug, "lep3src", 0, "thermal camera source and the library's messages");

    object_class->set_property = gst_lep3_src_set_property;
    object_class->get_property = gst_lep3_src_get_property;
    object_class->finalize = gst_lep3_src_finalize;

    constexpr auto rw = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    const auto ready = static_cast<GParamFlags>(rw | GST_PARAM_MUTABLE_READY);
    const auto playing = static_cast<GParamFlags>(rw | GST_PARAM_MUTABLE_PLAYING);
    g_object_class_install_property(object_class, PROP_DEVICE,
                                    g_param_spec_string("device", "Device",
                                                        "Serial device of the camera bridge (not used with sim=true)",
                                                        default_device().c_str(), ready));
    g_object_class_install_property(
        object_class, PROP_SIM,
        g_param_spec_boolean("sim", "Emulator",
                             "Start the bundled bridge emulator (lep3-bridge-sim, or the program $LEP3_SIM names) "
                             "and stream its synthetic scene instead of a camera's",
                             FALSE, ready));
    g_object_class_install_property(
        object_class, PROP_PALETTE,
        g_param_spec_enum("palette", "Palette", "Palette through which colour=host turns raw frames into RGB",
                          palette_get_type(), static_cast<gint>(lep3::names::kDefaultPalette), playing));
    g_object_class_install_property(
        object_class, PROP_COLOUR,
        g_param_spec_enum("colour", "Colour", "Where RGB output is coloured when downstream asks for format=RGB",
                          colour_get_type(), static_cast<gint>(Colour::host), ready));
    g_object_class_install_property(
        object_class, PROP_TIMEOUT_MS,
        g_param_spec_int("timeout-ms", "Time-out",
                         "Milliseconds to wait for a frame, or for an unplugged bridge to return, before posting "
                         "an error (0: wait for ever)",
                         0, G_MAXINT, kDefaultTimeoutMs, playing));
    g_object_class_install_property(
        object_class, PROP_STATS,
        g_param_spec_boxed("stats", "Statistics",
                           "Since the camera was opened: frames (buffers pushed), dropped (frame numbers skipped "
                           "between buffers, the gaps in the offsets), check-errors (frames whose check byte did "
                           "not match, flagged corrupted), reconnects (times the bridge was re-opened)",
                           GST_TYPE_STRUCTURE, static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)));

    gst_element_class_set_static_metadata(
        element_class, "Thermal camera source", "Source/Video/Hardware",
        "Streams the 160x120 thermal camera behind its USB serial bridge: the raw 14-bit values as GRAY16_LE, or "
        "RGB coloured on the host through a palette or by the bridge",
        "lep3 developers");
    GstCaps *caps = template_caps();
    gst_element_class_add_pad_template(element_class, gst_pad_template_new("src", GST_PAD_SRC, GST_PAD_ALWAYS, caps));
    gst_caps_unref(caps);
    gst_type_mark_as_plugin_api(palette_get_type(), static_cast<GstPluginAPIFlags>(0));
    gst_type_mark_as_plugin_api(colour_get_type(), static_cast<GstPluginAPIFlags>(0));

    base_class->start = gst_lep3_src_start;
    base_class->stop = gst_lep3_src_stop;
    base_class->fixate = gst_lep3_src_fixate;
    base_class->set_caps = gst_lep3_src_set_caps;
    base_class->decide_allocation = gst_lep3_src_decide_allocation;
    base_class->query = gst_lep3_src_query;
    base_class->unlock = gst_lep3_src_unlock;
    base_class->unlock_stop = gst_lep3_src_unlock_stop;
    push_class->fill = gst_lep3_src_fill;
}

static void gst_lep3_src_init(GstLep3Src *self)
{
    self->state = new State;
    self->state->settings.device = default_device();
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}
