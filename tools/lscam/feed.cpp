// SPDX-License-Identifier: MIT
#include "feed.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstring>

#include "vantorpi.h"

using Clock = std::chrono::steady_clock;

namespace {
// libusb's codes for an unplugged camera and a request that timed out.
constexpr int kNoDevice = -4;
constexpr int kTimeout = -7;
// No data for this long makes the reader ask whether the camera is still
// there; while it is gone, it looks for it again as often.
constexpr auto kProbeAfter = std::chrono::milliseconds(250);
}  // namespace

Feed::Feed(size_t historylines, size_t maxwatchers, size_t perclient)
    : historylines(historylines), maxwatchers(maxwatchers), perclient(perclient) {}

void Feed::wakeparked() {
  for (Watcher& w : list) {
    if (!w.parked) continue;
    w.parked = false;
    w.wake();
  }
}

void Feed::publish(FramePtr frame) {
  std::lock_guard<std::mutex> lock(mutex);
  kept.push_front(frame);
  if (kept.size() > historylines) kept.pop_back();
  for (Watcher& w : list) {
    if (w.frames.size() >= kQueueFrames) {
      w.frames.pop_front();
      ++w.dropped;
    }
    w.frames.push_back(frame);
  }
  wakeparked();
}

void Feed::setstatus(std::string json) {
  std::lock_guard<std::mutex> lock(mutex);
  status = std::move(json);
  ++statusversion;
  wakeparked();
}

void Feed::setsettings(std::string json) {
  std::lock_guard<std::mutex> lock(mutex);
  settings = std::move(json);
  ++settingsversion;
  wakeparked();
}

void Feed::close() {
  std::lock_guard<std::mutex> lock(mutex);
  closed = true;
  wakeparked();
}

int Feed::attach(const std::string& client, Wake wake) {
  std::lock_guard<std::mutex> lock(mutex);
  const size_t same = static_cast<size_t>(
      std::count_if(list.begin(), list.end(), [&](const Watcher& w) { return w.client == client; }));
  if (closed || list.size() >= maxwatchers || same >= perclient) return 0;
  list.push_back(Watcher{nextid, client, std::move(wake), {}, 0, 0, 0, false});
  return nextid++;
}

void Feed::detach(int id) {
  std::lock_guard<std::mutex> lock(mutex);
  list.erase(std::remove_if(list.begin(), list.end(), [id](const Watcher& w) { return w.id == id; }),
             list.end());
}

Feed::Watcher* Feed::find(int id) {
  for (Watcher& w : list)
    if (w.id == id) return &w;
  return nullptr;
}

FeedEvent Feed::poll(int id, const std::function<void()>& park) {
  std::lock_guard<std::mutex> lock(mutex);
  FeedEvent event;
  Watcher* w = find(id);
  if (closed || !w) {
    event.kind = FeedEvent::Kind::Closed;
  } else if (w->settingsseen < settingsversion) {
    w->settingsseen = settingsversion;
    event.kind = FeedEvent::Kind::Settings;
    event.text = settings;
  } else if (w->statusseen < statusversion) {
    w->statusseen = statusversion;
    event.kind = FeedEvent::Kind::Status;
    event.text = status;
  } else if (!w->frames.empty()) {
    event.kind = FeedEvent::Kind::Frame;
    event.frame = std::move(w->frames.front());
    w->frames.pop_front();
    event.dropped = w->dropped;
  } else {
    park();
    w->parked = true;
  }
  return event;
}

size_t Feed::watchers() const {
  std::lock_guard<std::mutex> lock(mutex);
  return list.size();
}

std::string Feed::currentstatus() const {
  std::lock_guard<std::mutex> lock(mutex);
  return status;
}

std::vector<FramePtr> Feed::history() const {
  std::lock_guard<std::mutex> lock(mutex);
  return std::vector<FramePtr>(kept.begin(), kept.end());
}

StreamReader::StreamReader(Feed& feed, CameraLink& camera, const LineFormat& format, int framerate)
    : feed(feed),
      camera(camera),
      format(format),
      frameinterval(
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / framerate))) {}

StreamReader::~StreamReader() { stop(); }

void StreamReader::start() {
  stopping = false;
  thread = std::thread([this] { run(); });
}

void StreamReader::stop() {
  stopping = true;
  if (thread.joinable()) thread.join();
}

void StreamReader::run() {
  const size_t capacity = std::max<size_t>(size_t(1) << 22, 2 * format.linebytes());
  std::vector<uint8_t> buffer(capacity);
  size_t have = 0;
  started = lastreport = lastdata = lastprobe = nextframe = Clock::now();
  report(started);
  while (!stopping) {
    Clock::time_point now;
    if (open) {
      readstream(buffer, have, now);
      if (now - lastdata >= kProbeAfter && now - lastprobe >= kProbeAfter) {
        lastprobe = now;
        const int code = camera.probe();
        if (code != 0 && code != kTimeout) lose(code, now);
      }
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      now = Clock::now();
      if (now - lastprobe >= kProbeAfter) {
        lastprobe = now;
        if (camera.reopen()) {
          open = true;
          received = false;
          have = 0;  // the new stream starts with a new line
          lastdata = now;
          report(now);
        }
      }
    }
    if (now - lastreport >= std::chrono::seconds(1)) report(now);
  }
}

// Reads whatever the library holds, counts the complete lines and keeps the
// beginning of an incomplete one at the front of the buffer. Lines are cut at
// multiples of the line length from the start of the stream.
void StreamReader::readstream(std::vector<uint8_t>& buffer, size_t& have, Clock::time_point& now) {
  const size_t linebytes = format.linebytes();
  ls_waitforpipe(50);
  const int n = ls_getpipe(buffer.data() + have, static_cast<int>(buffer.size() - have));
  now = Clock::now();
  if (n > 0) {
    have += static_cast<size_t>(n);
    bytes += static_cast<uint64_t>(n);
    lastdata = now;
    if (!received) {
      // The first data, also of a camera opened again: the page says so at once.
      received = true;
      report(now);
    }
  }
  const size_t complete = have / linebytes;
  if (complete == 0) return;
  lines += complete;
  if (now >= nextframe) {
    feed.publish(makeframe(buffer.data() + (complete - 1) * linebytes, lines - 1));
    nextframe = now + frameinterval;
  }
  const size_t rest = have - complete * linebytes;
  std::memmove(buffer.data(), buffer.data() + complete * linebytes, rest);
  have = rest;
}

// The camera is gone: closed at once, so that the rate reads 0 and the
// status says why.
void StreamReader::lose(int code, Clock::time_point now) {
  camera.lost(code);
  open = false;
  lostcode = code;
  report(now);
}

FramePtr StreamReader::makeframe(const uint8_t* line, uint64_t number) const {
  auto frame = std::make_shared<Frame>();
  frame->number = number;
  frame->pixels.resize(static_cast<size_t>(format.shown()));
  const bool wide = format.depth == 16;
  unsigned int lo = 0xFFFF, hi = 0;
  uint64_t sum = 0;
  size_t saturated = 0;
  for (int x = format.skip; x < format.width; ++x) {
    const size_t at = static_cast<size_t>(x) * (wide ? 2 : 1);
    const unsigned int v = wide ? (line[at] | line[at + 1] << 8) : line[at];
    frame->pixels[static_cast<size_t>(x - format.skip)] = static_cast<uint16_t>(v);
    lo = std::min(lo, v);
    hi = std::max(hi, v);
    sum += v;
    saturated += v >= format.fullscale;
  }
  frame->min = lo;
  frame->max = hi;
  frame->mean = static_cast<double>(sum) / format.shown();
  frame->saturated = saturated;
  return frame;
}

void StreamReader::report(Clock::time_point now) {
  const double interval = std::chrono::duration<double>(now - lastreport).count();
  QJsonObject status;
  status["lines"] = static_cast<double>(lines);
  status["bytes"] = static_cast<double>(bytes);
  status["elapsedMs"] =
      static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(now - started).count());
  status["linesPerSecond"] =
      open && interval > 0 ? static_cast<double>(lines - reportedlines) / interval : 0.0;
  status["bytesPerSecond"] = open ? ls_getfps() : 0;
  status["streaming"] = open && received && now - lastdata < std::chrono::seconds(1);
  status["camera"] = open ? "open" : lostcode == kNoDevice ? "unplugged" : "lost";
  if (!open) status["problem"] = QString("%1 %2").arg(lostcode).arg(ls_geterrorstring(lostcode));
  status["watchers"] = static_cast<double>(feed.watchers());
  feed.setstatus(QJsonDocument(status).toJson(QJsonDocument::Compact).toStdString());
  reportedlines = lines;
  lastreport = now;
}
