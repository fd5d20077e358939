// SPDX-License-Identifier: MIT
// The live feed of lscam serve: one thread owns the camera's stream and cuts
// it into lines; a few lines per second go out to every watching browser
// through a bounded queue of its own.
#ifndef LSCAM_FEED_H
#define LSCAM_FEED_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// How the stream's bytes form lines.
struct LineFormat {
  int width = 2048;  // pixels per line in the stream
  int depth = 16;    // bits per pixel: 16 (little-endian) or 8
  int skip = 0;      // leading pixels of each line left out
  unsigned int fullscale = 65535;

  size_t linebytes() const { return static_cast<size_t>(width) * static_cast<size_t>(depth / 8); }
  int shown() const { return width - skip; }
};

// One line of the stream as sent to the browsers, with its statistics.
struct Frame {
  uint64_t number = 0;  // position of the line in the stream, from 0
  std::vector<uint16_t> pixels;
  unsigned int min = 0;
  unsigned int max = 0;
  double mean = 0;
  size_t saturated = 0;  // pixels at full scale or above
};
using FramePtr = std::shared_ptr<const Frame>;

// What a watching browser is sent next.
struct FeedEvent {
  enum class Kind { None, Settings, Status, Frame, Closed };
  Kind kind = Kind::None;
  std::string text;  // Settings, Status
  FramePtr frame;
  uint64_t dropped = 0;  // frames this watcher has missed so far
};

// Distributes frames, status and settings to the watchers. The reader only
// ever appends to bounded queues: a watcher that does not keep up loses its
// oldest frames, and nothing it does can hold up the reader. Watchers never
// wait here: one with nothing to send is parked, and its wake function is
// called once something is ready for it.
class Feed {
 public:
  static constexpr size_t kQueueFrames = 4;
  using Wake = std::function<void()>;

  Feed(size_t historylines, size_t maxwatchers, size_t perclient);

  // Reader side.
  void publish(FramePtr frame);
  void setstatus(std::string json);
  void setsettings(std::string json);
  void close();  // every watcher's poll() returns Closed from now on

  // Watcher side. attach() returns 0 when the feed is closed, full, or holds
  // perclient watchers of the same client already. wake is called with the
  // feed's lock held, so it must only signal.
  int attach(const std::string& client, Wake wake);
  void detach(int id);
  // The next event for the watcher: settings and status when they changed
  // since it last saw them, else the oldest queued frame. With none of these
  // it calls park (with the lock held, so that no wake-up can come before it),
  // returns None and wakes the watcher once an event is ready.
  FeedEvent poll(int id, const std::function<void()>& park);

  size_t watchers() const;
  std::string currentstatus() const;
  // The kept lines, newest first.
  std::vector<FramePtr> history() const;

 private:
  struct Watcher {
    int id;
    std::string client;
    Wake wake;
    std::deque<FramePtr> frames;
    uint64_t statusseen = 0;
    uint64_t settingsseen = 0;
    uint64_t dropped = 0;
    bool parked = false;
  };
  Watcher* find(int id);
  void wakeparked();  // with the lock held

  mutable std::mutex mutex;
  const size_t historylines;
  const size_t maxwatchers;
  const size_t perclient;
  std::deque<FramePtr> kept;  // newest at the front
  std::vector<Watcher> list;
  int nextid = 1;
  bool closed = false;
  std::string status, settings;
  uint64_t statusversion = 0, settingsversion = 0;
};

// What the reader needs of the camera besides its stream. Each call makes its
// control requests under the lock that serialises every control call.
class CameraLink {
 public:
  virtual ~CameraLink() = default;
  // 0 while the camera answers a status request (or only timed out), else the request's code.
  virtual int probe() = 0;
  // Closes the camera that a failed status request showed gone, and says so on the terminal.
  virtual void lost(int code) = 0;
  // Enumerates and opens the camera that was chosen at start; true once it streams again.
  virtual bool reopen() = 0;
};

// The thread that owns the stream (ls_waitforpipe, ls_getpipe, ls_getfps):
// it counts every line, publishes the newest one framerate times a second
// and the stream's rate once a second. When no data comes for a quarter of a
// second it asks the camera whether it is still there; a camera that is gone
// is closed, reported, and opened again as soon as it is back.
class StreamReader {
 public:
  StreamReader(Feed& feed, CameraLink& camera, const LineFormat& format, int framerate);
  ~StreamReader();
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  void start();
  void stop();

 private:
  void run();
  void readstream(std::vector<uint8_t>& buffer, size_t& have, std::chrono::steady_clock::time_point& now);
  void lose(int code, std::chrono::steady_clock::time_point now);
  FramePtr makeframe(const uint8_t* line, uint64_t number) const;
  void report(std::chrono::steady_clock::time_point now);

  Feed& feed;
  CameraLink& camera;
  const LineFormat format;
  const std::chrono::steady_clock::duration frameinterval;
  std::thread thread;
  std::atomic<bool> stopping{false};

  // Owned by the reading thread.
  bool open = true;
  bool received = false;  // any data since the start
  int lostcode = 0;       // the code that showed the camera gone
  uint64_t lines = 0, bytes = 0;
  uint64_t reportedlines = 0;
  std::chrono::steady_clock::time_point started, lastreport, lastdata, lastprobe, nextframe;
};

#endif
