// The plugin: one element, lep3src.
#include "gstreamer/lep3src.h"

namespace {

gboolean plugin_init(GstPlugin *plugin)
{
    return GST_ELEMENT_REGISTER(lep3src, plugin);
}

} // namespace

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, lep3, "Thermal camera behind a USB serial bridge", plugin_init,
                  LEP3_VERSION_TEXT, "MIT/X11", "lep3", "lep3 source tree")
