// lep3src: a live source of the thermal camera's frames, a GstPushSrc subclass that drives
// the library's managed session (LEP3_Open, LEP3_WaitFrame, LEP3_Close).
#pragma once

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

G_BEGIN_DECLS

#define GST_TYPE_LEP3_SRC (gst_lep3_src_get_type())
G_DECLARE_FINAL_TYPE(GstLep3Src, gst_lep3_src, GST, LEP3_SRC, GstPushSrc)

GST_ELEMENT_REGISTER_DECLARE(lep3src);

// The element's debug category; the library's own messages are logged in it too.
GST_DEBUG_CATEGORY_EXTERN(gst_lep3_src_debug);

G_END_DECLS
