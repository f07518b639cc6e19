// Pipelines for the element's tests: GStreamer set up to find the plugin in the build tree,
// a pipeline that pulls its buffers from an appsink and reads its bus, and an emulator in
// a private directory for pipelines that name a device.
#pragma once

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/bridge_sim.h"
#include "support/eventually.h"
#include "support/pluggable_bridge.h"

namespace lep3::gsttest {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Once per test process, before GLib first asks for them: the plugin from the build tree,
// a registry of the tests' own, scanning in this process (a sanitised plugin can't be
// loaded by the scanner helper), and temporary files in a directory of the process's own,
// so a test can see what the element leaves behind.
inline const std::string &test_tmpdir()
{
    static const std::string dir = [] {
        std::string d = (std::filesystem::temp_directory_path() / "lep3src-test-XXXXXX").string();
        if (mkdtemp(d.data()) == nullptr)
            d.clear();
        return d;
    }();
    return dir;
}

inline void init_gstreamer()
{
    static const bool done = [] {
        setenv("GST_PLUGIN_PATH", LEP3_GST_PLUGIN_DIR, 1);
        setenv("GST_REGISTRY_1_0", LEP3_GST_TEST_REGISTRY, 1);
        setenv("GST_REGISTRY_FORK", "no", 1);
        setenv("TMPDIR", test_tmpdir().c_str(), 1);
        // Registered after the directory's name exists, so it runs before the name is destroyed.
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(test_tmpdir(), ignored);
        });
        gst_init(nullptr, nullptr);
        return true;
    }();
    (void)done;
}

// One buffer as the sink received it.
struct Frame {
    std::vector<uint8_t> bytes;
    std::string format;
    uint64_t offset = 0;
    GstClockTime pts = GST_CLOCK_TIME_NONE;
    bool corrupted = false;
    int width = 0;
    int height = 0;
    int fps_n = -1;

    const uint16_t *raw() const { return reinterpret_cast<const uint16_t *>(bytes.data()); }
};

class Pipeline {
  public:
    // A gst-launch description whose last element is "appsink name=sink" (or no sink).
    explicit Pipeline(const std::string &description)
    {
        init_gstreamer();
        GError *error = nullptr;
        pipeline_ = gst_parse_launch(description.c_str(), &error);
        if (error != nullptr) {
            ADD_FAILURE() << "cannot build '" << description << "': " << error->message;
            g_error_free(error);
        }
        if (pipeline_ != nullptr) {
            sink_ = gst_bin_get_by_name(GST_BIN(pipeline_), "sink");
            src_ = gst_bin_get_by_name(GST_BIN(pipeline_), "src");
            bus_ = gst_element_get_bus(pipeline_);
        }
    }
    ~Pipeline()
    {
        if (pipeline_ != nullptr)
            gst_element_set_state(pipeline_, GST_STATE_NULL);
        for (GstObject *o :
             {GST_OBJECT_CAST(sink_), GST_OBJECT_CAST(src_), GST_OBJECT_CAST(bus_), GST_OBJECT_CAST(pipeline_)})
            if (o != nullptr)
                gst_object_unref(o);
    }
    Pipeline(const Pipeline &) = delete;
    Pipeline &operator=(const Pipeline &) = delete;

    // The element named "src".
    GstElement *src() const { return src_; }

    GstStateChangeReturn play() { return gst_element_set_state(pipeline_, GST_STATE_PLAYING); }
    GstStateChangeReturn stop() { return gst_element_set_state(pipeline_, GST_STATE_NULL); }

    // The next buffer, or nothing at EOS, error or after the limit.
    std::optional<Frame> pull(std::chrono::milliseconds limit = 10s)
    {
        GstSample *sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink_), limit.count() * GST_MSECOND);
        if (sample == nullptr)
            return std::nullopt;
        Frame f;
        GstBuffer *buffer = gst_sample_get_buffer(sample);
        GstVideoInfo info;
        if (gst_video_info_from_caps(&info, gst_sample_get_caps(sample))) {
            f.format = gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info));
            f.width = GST_VIDEO_INFO_WIDTH(&info);
            f.height = GST_VIDEO_INFO_HEIGHT(&info);
        }
        // As the caps say it (GstVideoInfo would give the maximum for a variable rate).
        int fps_d = 1;
        gst_structure_get_fraction(gst_caps_get_structure(gst_sample_get_caps(sample), 0), "framerate", &f.fps_n,
                                   &fps_d);
        f.bytes.resize(gst_buffer_get_size(buffer));
        gst_buffer_extract(buffer, 0, f.bytes.data(), f.bytes.size());
        f.offset = GST_BUFFER_OFFSET(buffer);
        f.pts = GST_BUFFER_PTS(buffer);
        f.corrupted = GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_CORRUPTED);
        gst_sample_unref(sample);
        return f;
    }

    // Every buffer until EOS (or error, or the limit per buffer).
    std::vector<Frame> pull_all(std::chrono::milliseconds limit = 10s)
    {
        std::vector<Frame> frames;
        while (auto f = pull(limit))
            frames.push_back(std::move(*f));
        return frames;
    }

    // The next error or EOS on the bus within the limit: its text ("EOS" for end of stream,
    // "" for neither in time).
    std::string wait_end(std::chrono::milliseconds limit)
    {
        GstMessage *msg = gst_bus_timed_pop_filtered(bus_, limit.count() * GST_MSECOND,
                                                     static_cast<GstMessageType>(GST_MESSAGE_ERROR | GST_MESSAGE_EOS));
        if (msg == nullptr)
            return "";
        std::string text = "EOS";
        if (GST_MESSAGE_TYPE(msg) == GST_MESSAGE_ERROR) {
            GError *error = nullptr;
            gst_message_parse_error(msg, &error, nullptr);
            text = std::string("error: ") + error->message;
            g_error_free(error);
        }
        gst_message_unref(msg);
        return text;
    }

    // The pipeline's running time now.
    GstClockTime running_time() const
    {
        GstClock *clock = gst_element_get_clock(pipeline_);
        if (clock == nullptr)
            return GST_CLOCK_TIME_NONE;
        const GstClockTime now = gst_clock_get_time(clock) - gst_element_get_base_time(pipeline_);
        gst_object_unref(clock);
        return now;
    }

    // The stats property of the element named "src".
    uint64_t stat(const char *field) const
    {
        GstStructure *s = nullptr;
        g_object_get(src_, "stats", &s, nullptr);
        guint64 value = 0;
        EXPECT_TRUE(s != nullptr && gst_structure_get_uint64(s, field, &value)) << field;
        if (s != nullptr)
            gst_structure_free(s);
        return value;
    }

  private:
    GstElement *pipeline_ = nullptr;
    GstElement *sink_ = nullptr;
    GstElement *src_ = nullptr;
    GstBus *bus_ = nullptr;
};

using EmulatedBridge = lep3::test::PluggableBridge;
using lep3::test::eventually;

inline double seconds_since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

} // namespace lep3::gsttest
