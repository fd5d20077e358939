// SPDX-License-Identifier: MIT
// vantorpisrc in this process against the simulated camera: the plugin from the build tree, the library
// and the simulator linked, so that the tests set the camera up and read its counters and control log.
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "simcam.h"
#include "tests/support/controllog.h"
#include "tests/support/stream.h"
#include "tests/support/wait.h"
#include "vantorpi.h"

namespace {

using namespace std::chrono_literals;
constexpr int kLine = 4096;  // the simulated camera's packet-length register
constexpr int kPixels = kLine / 2;

class GstTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("GST_PLUGIN_PATH", VANTORPI_GST_PLUGIN_DIR, 1);
    setenv("GST_REGISTRY", VANTORPI_GST_REGISTRY, 1);
    gst_init(nullptr, nullptr);
  }
  void SetUp() override {
    simcam_reset();
    dev = simcam_add_camera("VT0001");
    simcam_set_stream_rate(dev, 8000000);  // about 1950 lines a second
    simcam_log_clear();
  }
  void TearDown() override {
    for (GstElement* p : pipelines) {
      EXPECT_EQ(gst_element_set_state(p, GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
      gst_object_unref(p);
    }
    if (bus) gst_object_unref(bus);
    EXPECT_EQ(simcam_open_handles(), 0);
  }

  // A pipeline from a launch line whose appsink is named "sink"; its bus is `bus` (the first one made).
  GstElement* launch(const std::string& line) {
    GError* error = nullptr;
    GstElement* p = gst_parse_launch(line.c_str(), &error);
    EXPECT_EQ(error, nullptr) << (error ? error->message : "");
    pipelines.push_back(p);
    if (!bus) bus = gst_element_get_bus(p);
    return p;
  }
  static GstSample* pull(GstElement* pipeline, GstClockTime timeout = 10 * GST_SECOND) {
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    GstSample* sample = nullptr;
    g_signal_emit_by_name(sink, "try-pull-sample", timeout, &sample);
    gst_object_unref(sink);
    return sample;
  }
  // The next error or warning on the bus within the time-out; text and debug text joined, "" for none.
  std::string next(GstMessageType type, GstClockTime timeout = 10 * GST_SECOND) {
    GstMessage* m = gst_bus_timed_pop_filtered(bus, timeout, type);
    if (!m) return "";
    GError* e = nullptr;
    gchar* debug = nullptr;
    if (type == GST_MESSAGE_ERROR)
      gst_message_parse_error(m, &e, &debug);
    else
      gst_message_parse_warning(m, &e, &debug);
    std::string text = std::string(e->message) + " | " + (debug ? debug : "");
    g_error_free(e);
    g_free(debug);
    gst_message_unref(m);
    return text;
  }

  int dev = 0;
  GstBus* bus = nullptr;
  std::vector<GstElement*> pipelines;
};

// Feeds a buffer's bytes to the stream check; its failure text.
// The video format the harness's sink pad has negotiated; false while none is.
bool negotiated(GstHarness* h, GstVideoInfo& info) {
  GstCaps* caps = gst_pad_get_current_caps(h->sinkpad);
  if (!caps) return false;
  const bool ok = gst_video_info_from_caps(&info, caps);
  gst_caps_unref(caps);
  return ok;
}

std::string feed(vtest::StreamCheck& check, GstBuffer* buffer) {
  GstMapInfo map;
  if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return "cannot map";
  std::string why = check.feed(map.data, map.size);
  gst_buffer_unmap(buffer, &map);
  return why;
}

TEST_F(GstTest, FramesAreConsecutiveLinesOfTheSimulatorBitExact) {
  GstHarness* h = gst_harness_new("vantorpisrc");
  g_object_set(h->element, "lines-per-frame", 64u, nullptr);
  gst_harness_use_systemclock(h);
  gst_harness_play(h);
  vtest::StreamCheck check(kLine, simcam_fill_packet);
  for (guint64 frame = 0; frame < 6; ++frame) {
    GstBuffer* b = gst_harness_pull(h);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(gst_buffer_get_size(b), 64u * kLine);
    EXPECT_EQ(GST_BUFFER_OFFSET(b), frame * 64);
    EXPECT_EQ(GST_BUFFER_OFFSET_END(b), frame * 64 + 64);
    ASSERT_EQ(feed(check, b), "");
    gst_buffer_unref(b);
  }
  EXPECT_EQ(check.packets(), 6u * 64);
  GstVideoInfo info;
  ASSERT_TRUE(negotiated(h, info));
  EXPECT_EQ(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_FORMAT_GRAY16_LE);
  EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), kPixels);
  EXPECT_EQ(GST_VIDEO_INFO_HEIGHT(&info), 64);
  gst_harness_teardown(h);
}

TEST_F(GstTest, PacketLengthFollowsTheCameraRegister) {
  simcam_set_cpu2_reg(dev, 253, 2 * kLine);  // the camera reports 8192-byte lines: opened again with them
  GstHarness* h = gst_harness_new("vantorpisrc");
  g_object_set(h->element, "lines-per-frame", 16u, nullptr);
  gst_harness_use_systemclock(h);
  gst_harness_play(h);
  vtest::StreamCheck check(2 * kLine, simcam_fill_packet);
  for (int frame = 0; frame < 3; ++frame) {
    GstBuffer* b = gst_harness_pull(h);
    ASSERT_NE(b, nullptr);
    ASSERT_EQ(feed(check, b), "");
    gst_buffer_unref(b);
  }
  EXPECT_EQ(check.packets(), 3u * 16);
  GstVideoInfo info;
  ASSERT_TRUE(negotiated(h, info));
  EXPECT_EQ(GST_VIDEO_INFO_WIDTH(&info), kLine);
  gst_harness_teardown(h);
}

TEST_F(GstTest, Gray8ScalesFromBitsWhenDownstreamAsks) {
  GstHarness* h = gst_harness_new("vantorpisrc");
  g_object_set(h->element, "lines-per-frame", 8u, "bits", 10u, nullptr);
  gst_harness_set_sink_caps_str(h, "video/x-raw, format=GRAY8");
  gst_harness_use_systemclock(h);
  gst_harness_play(h);
  GstBuffer* b = gst_harness_pull(h);
  ASSERT_NE(b, nullptr);
  GstVideoInfo info;
  ASSERT_TRUE(negotiated(h, info));
  ASSERT_EQ(GST_VIDEO_INFO_FORMAT(&info), GST_VIDEO_FORMAT_GRAY8);
  GstMapInfo map;
  ASSERT_TRUE(gst_buffer_map(b, &map, GST_MAP_READ));
  std::vector<uint8_t> line(kLine);
  int saturated = 0;
  for (int row = 0; row < 8; ++row) {
    simcam_fill_packet(static_cast<uint64_t>(row), line.data(), kLine);
    const uint8_t* got = map.data + row * GST_VIDEO_INFO_PLANE_STRIDE(&info, 0);
    for (int x = 0; x < kPixels; ++x) {
      const unsigned v = line[2 * x] | line[2 * x + 1] << 8;
      const unsigned expected = v >= 1023 ? 255 : (v * 255 + 511) / 1023;
      saturated += v >= 1023;
      ASSERT_EQ(got[x], expected) << "row " << row << " pixel " << x << " value " << v;
    }
  }
  gst_buffer_unmap(b, &map);
  gst_buffer_unref(b);
  // The 12-bit pattern goes beyond a 10-bit full scale: the clamp was exercised, not only the scale.
  EXPECT_GT(saturated, 0);
  gst_harness_teardown(h);
}

TEST_F(GstTest, TimestampsIncreaseAndDurationsFollowTheLineRate) {
  GstHarness* h = gst_harness_new("vantorpisrc");
  g_object_set(h->element, "lines-per-frame", 100u, nullptr);
  gst_harness_use_systemclock(h);
  gst_harness_play(h);
  std::vector<GstClockTime> pts;
  GstClockTime duration = GST_CLOCK_TIME_NONE;
  for (int i = 0; i < 12; ++i) {
    GstBuffer* b = gst_harness_pull(h);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(GST_BUFFER_PTS_IS_VALID(b));
    pts.push_back(GST_BUFFER_PTS(b));
    duration = GST_BUFFER_DURATION(b);
    gst_buffer_unref(b);
  }
  GstVideoInfo info;
  ASSERT_TRUE(negotiated(h, info));
  // 8 MB/s of 4096-byte lines in frames of 100: 19.53 frames a second, measured within 10 %.
  const double fps = static_cast<double>(GST_VIDEO_INFO_FPS_N(&info)) / GST_VIDEO_INFO_FPS_D(&info);
  EXPECT_NEAR(fps, 8000000.0 / kLine / 100, 8000000.0 / kLine / 100 * 0.1);
  EXPECT_EQ(duration,
            gst_util_uint64_scale_int(GST_SECOND, GST_VIDEO_INFO_FPS_D(&info), GST_VIDEO_INFO_FPS_N(&info)));
  for (size_t i = 1; i < pts.size(); ++i) EXPECT_GT(pts[i], pts[i - 1]) << "buffer " << i;
  // Once the backlog of the start is read, frames are a duration apart (within half of one).
  const double spacing = static_cast<double>(pts.back() - pts[4]) / static_cast<double>(pts.size() - 5);
  EXPECT_NEAR(spacing, static_cast<double>(duration), static_cast<double>(duration) / 2);

  GstQuery* q = gst_query_new_latency();
  ASSERT_TRUE(gst_pad_peer_query(h->sinkpad, q));
  gboolean live = FALSE;
  GstClockTime min = 0, max = 0;
  gst_query_parse_latency(q, &live, &min, &max);
  gst_query_unref(q);
  EXPECT_TRUE(live);
  EXPECT_EQ(min, duration);
  EXPECT_GE(max, min);
  gst_harness_teardown(h);
}

TEST_F(GstTest, UnplugPostsAnErrorWithinHalfASecondAndNullClosesTheCamera) {
  GstElement* p = launch("vantorpisrc lines-per-frame=16 ! appsink name=sink sync=false");
  ASSERT_NE(gst_element_set_state(p, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  GstSample* s = pull(p);
  ASSERT_NE(s, nullptr);
  gst_sample_unref(s);
  ASSERT_EQ(simcam_open_handles(), 1);
  const auto unplugged = std::chrono::steady_clock::now();
  simcam_unplug(dev);
  const std::string error = next(GST_MESSAGE_ERROR);
  const auto after = std::chrono::steady_clock::now() - unplugged;
  EXPECT_NE(error.find("-4"), std::string::npos) << error;
  EXPECT_LT(after, 500ms) << error;
  EXPECT_EQ(gst_element_set_state(p, GST_STATE_NULL), GST_STATE_CHANGE_SUCCESS);
  EXPECT_EQ(simcam_open_handles(), 0);
  EXPECT_EQ(simcam_claimed_interfaces(), 0);
  EXPECT_EQ(ls_currentdeviceindex(), -1);
}

TEST_F(GstTest, StalledCameraWarnsAfterTheTimeout) {
  GstElement* p = launch("vantorpisrc lines-per-frame=16 timeout=300 ! appsink name=sink sync=false");
  ASSERT_NE(gst_element_set_state(p, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  GstSample* s = pull(p);
  ASSERT_NE(s, nullptr);
  gst_sample_unref(s);
  simcam_set_stream_mode(dev, SIMCAM_STREAM_OFF);
  const std::string warning = next(GST_MESSAGE_WARNING);
  EXPECT_NE(warning.find("No data from the camera for 300 ms"), std::string::npos) << warning;
  // A camera that answers is stalled, not gone: no error.
  EXPECT_EQ(next(GST_MESSAGE_ERROR, GST_SECOND / 2), "");
}

TEST_F(GstTest, PausedAndPlayingAgainLosesAndRepeatsNoLine) {
  // Frames of half a second: the pause almost always comes while a frame is being read.
  GstElement* p = launch("vantorpisrc lines-per-frame=1000 ! appsink name=sink sync=false");
  ASSERT_NE(gst_element_set_state(p, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  vtest::StreamCheck check(kLine, simcam_fill_packet);
  auto take = [&](int frames) {
    for (int i = 0; i < frames; ++i) {
      GstSample* s = pull(p);
      ASSERT_NE(s, nullptr);
      ASSERT_EQ(feed(check, gst_sample_get_buffer(s)), "");
      gst_sample_unref(s);
    }
  };
  take(2);
  ASSERT_NE(gst_element_set_state(p, GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  ASSERT_EQ(gst_element_get_state(p, nullptr, nullptr, 5 * GST_SECOND), GST_STATE_CHANGE_NO_PREROLL);
  // The camera goes on sending while the pipeline is paused.
  const uint64_t sent = simcam_packets_sent(dev);
  ASSERT_TRUE(vtest::waitfor([&] { return simcam_packets_sent(dev) >= sent + 200; }));
  ASSERT_NE(gst_element_set_state(p, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  take(3);
  EXPECT_EQ(check.packets(), 5u * 1000);
}

TEST_F(GstTest, IntegrationTimeOutsideTheSensorLimitsIsRefusedAndNothingSent) {
  unsigned lo = 0, hi = 0;
  ASSERT_EQ(ls_getminmaxtime(0x1000, &lo, &hi), CX_SUCCESS);
  GstElement* p = launch("vantorpisrc name=src lines-per-frame=16 ! appsink name=sink sync=false");
  ASSERT_NE(gst_element_set_state(p, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  GstSample* s = pull(p);
  ASSERT_NE(s, nullptr);
  gst_sample_unref(s);
  GstElement* src = gst_bin_get_by_name(GST_BIN(p), "src");
  const uint32_t before = simcam_cpu2_reg(dev, 3);
  simcam_log_clear();
  g_object_set(src, "integration-time", hi + 1, nullptr);
  const std::string warning = next(GST_MESSAGE_WARNING);
  EXPECT_NE(warning.find(std::to_string(hi + 1) + " refused"), std::string::npos) << warning;
  EXPECT_NE(warning.find(std::to_string(hi)), std::string::npos) << warning;
  for (const simcam_ctrl_record& r : vtest::controllog())
    EXPECT_NE(std::string(reinterpret_cast<const char*>(r.data), std::min<int>(r.datalen, 3)), "s3:");
  EXPECT_EQ(simcam_cpu2_reg(dev, 3), before);

  // Within the limits, while PLAYING, it reaches the camera.
  const unsigned within = lo + (hi - lo) / 2 == before ? lo : lo + (hi - lo) / 2;
  g_object_set(src, "integration-time", within, nullptr);
  EXPECT_EQ(simcam_cpu2_reg(dev, 3), within);
  guint readback = 0;
  g_object_get(src, "integration-time", &readback, nullptr);
  EXPECT_EQ(readback, within);
  gst_object_unref(src);
}

TEST_F(GstTest, FailedOpenNamesTheCodeAndTheFix) {
  simcam_set_claim_error(dev, -6);
  GstElement* busy = launch("vantorpisrc ! appsink name=sink");
  EXPECT_EQ(gst_element_set_state(busy, GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  std::string error = next(GST_MESSAGE_ERROR);
  EXPECT_NE(error.find(": -6 "), std::string::npos) << error;
  EXPECT_NE(error.find("Another program holds the camera"), std::string::npos) << error;

  // Without access rights a camera is not even listed: the hint names the rules and the doctor.
  simcam_unplug(dev);
  gst_element_set_state(busy, GST_STATE_NULL);
  EXPECT_EQ(gst_element_set_state(busy, GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  error = next(GST_MESSAGE_ERROR);
  EXPECT_NE(error.find(std::to_string(CX_ERR_NO_DEVICES_ATTACHED)), std::string::npos) << error;
  EXPECT_NE(error.find("udev rules"), std::string::npos) << error;
  EXPECT_NE(error.find("lscam doctor"), std::string::npos) << error;
  EXPECT_EQ(simcam_open_handles(), 0);
}

TEST_F(GstTest, ASecondSourceInTheProcessIsRefusedAndTheFirstStreamsOn) {
  GstElement* first = launch("vantorpisrc lines-per-frame=16 ! appsink name=sink sync=false");
  ASSERT_NE(gst_element_set_state(first, GST_STATE_PLAYING), GST_STATE_CHANGE_FAILURE);
  GstSample* s = pull(first);
  ASSERT_NE(s, nullptr);
  gst_sample_unref(s);
  GstElement* second = launch("vantorpisrc ! appsink name=sink");
  GstBus* secondbus = gst_element_get_bus(second);
  EXPECT_EQ(gst_element_set_state(second, GST_STATE_PAUSED), GST_STATE_CHANGE_FAILURE);
  GstMessage* m = gst_bus_timed_pop_filtered(secondbus, 5 * GST_SECOND, GST_MESSAGE_ERROR);
  ASSERT_NE(m, nullptr);
  GError* e = nullptr;
  gchar* debug = nullptr;
  gst_message_parse_error(m, &e, &debug);
  EXPECT_TRUE(g_error_matches(e, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_BUSY));
  EXPECT_NE(std::string(debug).find("one camera per process"), std::string::npos) << debug;
  g_error_free(e);
  g_free(debug);
  gst_message_unref(m);
  gst_object_unref(secondbus);
  for (int i = 0; i < 3; ++i) {
    s = pull(first);
    ASSERT_NE(s, nullptr);
    gst_sample_unref(s);
  }
  EXPECT_EQ(simcam_open_handles(), 1);
}

}  // namespace
