// The line: the pseudo-terminal the tool opens, the serving thread that reads it and
// takes frames off it, and the writes and hang-ups on it.
#include <algorithm>
#include <system_error>

#include "sim/sim_impl.h"

namespace sim {

using namespace wire;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 20;                                    // how often the serving thread looks at its stop flags

}  // namespace

bool Target::Start() {
  std::lock_guard<std::mutex> line(impl_->line_mutex);
  if (impl_->thread.joinable()) return !impl_->line_closed;
  if (!impl_->OpenLine()) return false;
  if (impl_->config.restart_ms && !impl_->restarter.joinable()) {
    try {
      impl_->restarter = std::thread([impl = impl_.get()] { impl->RestartLoop(); });
    } catch (const std::system_error& e) {
      return impl_->Fail(e.what());
    }
  }
  if ((impl_->config.log_traffic || impl_->config.trace_traffic) && !impl_->traffic.joinable()) {
    try {
      impl_->traffic = std::thread([impl = impl_.get()] { impl->TrafficLoop(); });
    } catch (const std::system_error& e) {
      return impl_->Fail(e.what());
    }
  }
  return true;
}

// A new pseudo-terminal with its serving thread; the caller holds line_mutex and the last
// serving thread has been joined.
bool Target::Impl::OpenLine() {
  std::string error;
  platform::PtyPair fresh;
  if (!platform::PtyOpen(&fresh, &error)) return Fail(error);
  pty = fresh;
  line_closed = false;
  hangup_requested = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    device_path = fresh.slave_path;
  }
  serving = true;
  try {
    thread = std::thread([this] { Serve(); });
  } catch (const std::system_error& e) {
    serving = false;
    return Fail(e.what());
  }
  return true;
}

std::string Target::DevicePath() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->device_path;
}

void Target::HangUp() {
  impl_->hangup_requested = true;
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->cv.notify_all();
  // While the serving thread runs, it closes the line itself (it may be reading it).
  impl_->cv.wait_for(lock, std::chrono::seconds(10), [&] { return impl_->line_closed || !impl_->serving; });
  bool close_here = !impl_->serving;
  lock.unlock();
  if (close_here) impl_->CloseLine();
}

void Target::Impl::Stop() {
  stop = true;
  {
    std::lock_guard<std::mutex> lock(mutex);
    cv.notify_all();
  }
  if (restarter.joinable()) restarter.join();
  if (traffic.joinable()) traffic.join();
  {
    std::lock_guard<std::mutex> plug(plug_mutex);
    if (thread.joinable()) thread.join();
  }
  CloseLine();
}

void Target::Unplug() { impl_->Unplug(); }
bool Target::Plug() { return impl_->Plug(); }

// The line hung up (the tool reads it as gone) and the port's entries removed.
void Target::Impl::Unplug() {
  std::lock_guard<std::mutex> plug(plug_mutex);
  hangup_requested = true;
  {
    std::lock_guard<std::mutex> lock(mutex);
    cv.notify_all();
  }
  if (thread.joinable()) thread.join();
  CloseLine();
  RemovePortEntries();
  std::lock_guard<std::mutex> lock(mutex);
  present = false;
  cv.notify_all();
}

// Back on the same port with the same serial number, on a new pseudo-terminal.
bool Target::Impl::Plug(bool after_restart) {
  std::lock_guard<std::mutex> plug(plug_mutex);
  bool laid_out = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (present) return true;
    laid_out = port != 0;
  }
  if (!laid_out) return Fail("the target was never laid out");
  if (stop) return Fail("the target is stopping");
  if (thread.joinable()) thread.join();  // a line hung up on its own
  {
    std::lock_guard<std::mutex> line(line_mutex);
    if (!OpenLine()) return false;
  }
  if (!WritePort()) return false;
  std::lock_guard<std::mutex> lock(mutex);
  present = true;
  if (after_restart) ++restarts;  // with present: whoever sees it back sees the restart counted
  cv.notify_all();
  return true;
}

// With restarts on: each accepted restart request takes the target away and, restart_ms later,
// back, with the version after an update when one ended since the last restart.
void Target::Impl::RestartLoop() {
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      cv.wait(lock, [&] { return stop || restart_due; });
      if (stop) return;
      restart_due = false;
    }
    Unplug();
    {
      std::unique_lock<std::mutex> lock(mutex);
      if (cv.wait_for(lock, std::chrono::milliseconds(*config.restart_ms), [&] { return stop.load(); })) return;
      if (update_done) {
        product_version = config.version_after.value_or(product_version);
        build = config.build_after.value_or(build);
      }
      update_done = false;
    }
    (void)Plug(true);  // a failure is reported by Plug; the next restart request tries again
  }
}

// Writes bytes on the line; the caller holds line_mutex. Single-byte writes go one write
// call per byte; the pacing decides how fast. Gives up when the line is closed, a stop
// or hang-up is requested, or nobody takes bytes for stall_limit.
bool Target::Impl::WriteLocked(const Bytes& bytes, bool single_bytes, std::chrono::milliseconds stall_limit) {
  const auto start = Clock::now();
  auto last_progress = start;
  size_t done = 0;
  while (done < bytes.size()) {
    if (line_closed || stop || hangup_requested) return false;
    const size_t chunk = pacing.NextChunk(bytes.size() - done, single_bytes);
    pacing.BeforeWrite(start, done + chunk);
    long w = platform::FdWrite(pty.master, bytes.data() + done, chunk, kPollMs);
    if (w < 0) return false;
    if (w == 0) {
      if (Clock::now() - last_progress > stall_limit) return false;
      continue;
    }
    done += static_cast<size_t>(w);
    last_progress = Clock::now();
    pacing.AfterWrite(start, done, bytes.size(), single_bytes);
  }
  return true;
}

// Noise, then the frame, with nothing of anyone else's in between.
void Target::Impl::Send(const Bytes& noise, const Bytes& frame, bool split) {
  std::lock_guard<std::mutex> guard(line_mutex);
  if (line_closed) return;
  if (!noise.empty() && !WriteLocked(noise, false)) return;
  if (!frame.empty()) WriteLocked(frame, split);
}

// Closes both ends: the tool then reads the line as hung up.
void Target::Impl::CloseLine() {
  {
    std::lock_guard<std::mutex> guard(line_mutex);
    if (line_closed) return;
    platform::FdClose(pty.master);
    platform::FdClose(pty.slave);
    pty.master = pty.slave = -1;
    line_closed = true;
  }
  std::lock_guard<std::mutex> lock(mutex);
  cv.notify_all();
}

// The serving thread: reads the line until stopped, hung up or closed.
void Target::Impl::Serve() {
  Bytes rx;
  uint8_t buf[4096];
  while (!stop && !line_closed) {
    if (hangup_requested) break;
    long n = platform::FdRead(pty.master, buf, sizeof buf, kPollMs);
    if (n == platform::kReadClosed) {
      // Not expected while the slave is held open; do not spin on it.
      std::unique_lock<std::mutex> lock(mutex);
      cv.wait_for(lock, std::chrono::milliseconds(kPollMs), [&] { return stop || hangup_requested; });
      continue;
    }
    if (n <= 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex);
      received_bytes.insert(received_bytes.end(), buf, buf + n);
    }
    rx.insert(rx.end(), buf, buf + n);
    pacing.HostBytesRead(static_cast<size_t>(n));
    ExtractFrames(rx);
  }
  if (hangup_requested) CloseLine();
  std::lock_guard<std::mutex> lock(mutex);
  serving = false;
  cv.notify_all();
}

// Takes every complete frame off the front of rx, resynchronising on the sync word.
void Target::Impl::ExtractFrames(Bytes& rx) {
  size_t pos = 0;
  while (!stop && !line_closed && !hangup_requested) {
    while (pos < rx.size() && rx[pos] != kSyncByte) ++pos;
    if (rx.size() - pos < kHeaderSize) break;  // wait for the rest of the header
    const uint8_t* h = &rx[pos];
    if (h[1] != kSyncByte || h[2] != kSyncByte || h[3] != kSyncByte) {
      ++pos;
      continue;
    }
    size_t length = GetU16(h + 4);
    if (length < 8 || length + 4 > kMaxFrameSize) {
      ++pos;
      continue;
    }
    if (rx.size() - pos < length + 4) break;
    pacing.AwaitFrameEnd(rx.size() - (pos + length + 4));
    Frame f;
    f.received_at = Clock::now();
    f.event_id = GetU16(h + 8);
    f.wire.assign(h, h + length + 4);
    f.params.assign(h + kHeaderSize, h + length + 4);
    pos += length + 4;
    HandleFrame(std::move(f));
  }
  rx.erase(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(std::min(pos, rx.size())));
}

}  // namespace sim
