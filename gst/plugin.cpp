// SPDX-License-Identifier: MIT
// The GStreamer plugin "vantorpi": one element, vantorpisrc.
#include <gst/gst.h>

#include "vantorpisrc.h"

static gboolean plugin_init(GstPlugin* plugin) {
  return gst_element_register(plugin, "vantorpisrc", GST_RANK_NONE, GST_TYPE_VANTORPI_SRC);
}

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, vantorpi, "USB line-scan camera source", plugin_init,
                  VANTORPI_VERSION, "MIT/X11", "vantorpi", "https://vantorpi.invalid/")
