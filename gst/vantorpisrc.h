// SPDX-License-Identifier: MIT
// vantorpisrc: the line-scan camera as a live GStreamer source. It sees the
// library only through vantorpi.h, like any application.
#ifndef VANTORPI_GST_VANTORPISRC_H
#define VANTORPI_GST_VANTORPISRC_H

#include <gst/base/gstpushsrc.h>

G_BEGIN_DECLS

#define GST_TYPE_VANTORPI_SRC (gst_vantorpi_src_get_type())
G_DECLARE_FINAL_TYPE(GstVantorpiSrc, gst_vantorpi_src, GST, VANTORPI_SRC, GstPushSrc)

G_END_DECLS

#endif
