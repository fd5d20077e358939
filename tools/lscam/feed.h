// The live feed of lscam serve: one thread owns the camera's stream and cuts
// it into lines; a few lines per second go out to every watching browser
// through a bounded queue of its own.
#ifndef LSCAM_FEED_H
#define LSCAM_FEED_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
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
// oldest frames, and nothing it does can hold up the reader.
class Feed {
 public:
  static constexpr size_t kQueueFrames = 4;

  Feed(size_t historylines, size_t maxwatchers);

  // Reader side.
  void publish(FramePtr frame);
  void setstatus(std::string json);
  void setsettings(std::string json);
  void close();  // every watcher's next() returns Closed from now on

  // Watcher side. attach() returns 0 when the feed is closed or full.
  int attach();
  void detach(int id);
  // The next event for the watcher: settings and status when they changed
  // since it last saw them, else the oldest queued frame; None after timeout.
  FeedEvent next(int id, std::chrono::milliseconds timeout);

  size_t watchers() const;
  std::string currentstatus() const;
  // The kept lines, newest first.
  std::vector<FramePtr> history() const;

 private:
  struct Watcher {
    int id;
    std::deque<FramePtr> frames;
    uint64_t statusseen = 0;
    uint64_t settingsseen = 0;
    uint64_t dropped = 0;
  };
  Watcher* find(int id);

  mutable std::mutex mutex;
  std::condition_variable changed;
  const size_t historylines;
  const size_t maxwatchers;
  std::deque<FramePtr> kept;  // newest at the front
  std::vector<Watcher> list;
  int nextid = 1;
  bool closed = false;
  std::string status, settings;
  uint64_t statusversion = 0, settingsversion = 0;
};

// The thread that owns the stream (ls_waitforpipe, ls_getpipe, ls_getfps):
// it counts every line, publishes the newest one framerate times a second
// and the stream's rate once a second.
class StreamReader {
 public:
  StreamReader(Feed& feed, const LineFormat& format, int framerate);
  ~StreamReader();
  StreamReader(const StreamReader&) = delete;
  StreamReader& operator=(const StreamReader&) = delete;

  void start();
  void stop();

 private:
  void run();
  FramePtr makeframe(const uint8_t* line, uint64_t number) const;
  void report(std::chrono::steady_clock::time_point now);

  Feed& feed;
  const LineFormat format;
  const std::chrono::steady_clock::duration frameinterval;
  std::thread thread;
  std::atomic<bool> stopping{false};

  // Owned by the reading thread.
  uint64_t lines = 0, bytes = 0;
  uint64_t reportedlines = 0;
  std::chrono::steady_clock::time_point started, lastreport, lastdata;
};

#endif
