#include "station/station_page.h"

// Connections wait in the system's queue until the listener takes them: room for a crowd of
// them, or a page opened behind it waits for the client's retry (a second and more).
#define CPPHTTPLIB_LISTEN_BACKLOG 128
#include <httplib.h>

#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/listen_socket.h"
#include "station/station_page_html.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWorkers = CmStationPage::kMostStreams + 8;  // the streams, and as many for everything else
constexpr time_t kReadSeconds = 2;       // a request line and its headers, read by then
constexpr time_t kWriteSeconds = 2;      // a client that reads nothing is let go after this
constexpr time_t kKeepAliveSeconds = 1;  // an idle connection is closed after this
constexpr auto kHeartbeat = std::chrono::seconds(10);  // a stream's comment: a gone reader is found

// The page's workers. The newest connection is served first: a crowd of idle or slow clients
// waits behind a fresh request, which is answered as soon as any worker is free.
class NewestFirst : public httplib::TaskQueue {
 public:
  explicit NewestFirst(int n) {
    for (int i = 0; i < n; ++i) threads_.emplace_back([this] { Work(); });
  }
  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard lock(mutex_);
      jobs_.push_back(std::move(fn));
    }
    ready_.notify_one();
  }
  void shutdown() override {
    {
      std::lock_guard lock(mutex_);
      shutdown_ = true;
    }
    ready_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

 private:
  void Work() {
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return shutdown_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // shut down with nothing left to serve
        job = std::move(jobs_.back());
        jobs_.pop_back();
      }
      job();
    }
  }
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool shutdown_ = false;
};

std::string Escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

std::string Fixed1(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::string RunHtml(const CM_BOARD_VIEW& view) {
  const CM_BOARD_RUN& r = view.run;
  const std::string file = r.file.empty() ? "-" : r.file + (r.sha256.empty() ? "" : " (" + r.sha256 + ")");
  const std::pair<std::string, std::string> pairs[] = {
      {"command", r.command},          {"file", file},
      {"expected", OrDash(r.expected)}, {"ok", std::to_string(view.ok)},
      {"failed", std::to_string(view.failed)}, {"in progress", std::to_string(view.working)},
      {"skipped", std::to_string(view.skipped)}, {"started", r.started}};
  std::string html;
  for (const auto& [name, value] : pairs) {
    std::string cls = name;
    for (char& c : cls) c = c == ' ' ? '-' : c;
    html += "<div><dt>" + Escape(name) + "</dt><dd class=\"k-" + cls + "\">" + Escape(value) + "</dd></div>";
  }
  return html;
}

std::string TileHtml(const CM_TILE& t, int attempts, const std::string& log_href) {
  std::string html = "<article class=\"tile s-" + Escape(t.state) + (t.present ? "" : " gone") + "\" data-key=\"" +
                     Escape(t.key) + "\"><h2><span class=\"port\">COM" + std::to_string(t.port) +
                     "</span><span class=\"serial\">" + Escape(t.serial.empty() ? "no serial number" : t.serial) +
                     "</span></h2><p class=\"state\">" + Escape(t.state) + "</p>";
  if (t.total > 0) {
    const uint64_t percent = std::min(t.bytes, t.total) * 100 / t.total;
    html += "<progress max=\"100\" value=\"" + std::to_string(percent) + "\"></progress><p class=\"bytes\">" +
            std::to_string(percent) + "% (" + std::to_string(t.bytes) + " of " + std::to_string(t.total) +
            " bytes)</p>";
  }
  html += "<p class=\"seconds\">" + Fixed1(t.seconds) + " s</p><p class=\"version\">" +
          Escape(OrDash(t.version_before)) + " -&gt; " + Escape(OrDash(t.version_after)) + "</p>";
  if (t.attempt > 0)
    html += "<p class=\"attempt\">attempt " + std::to_string(t.attempt) + " of " + std::to_string(attempts) + "</p>";
  if (!t.reason.empty()) html += "<p class=\"reason\">" + Escape(t.reason) + "</p>";
  if (!log_href.empty()) html += "<p><a class=\"log\" href=\"" + Escape(log_href) + "\">log</a></p>";
  return html + "</article>";
}

std::string RecordsHtml(const std::vector<std::string>& records) {
  std::string html;
  for (size_t i = records.size(); i-- > 0;) {  // newest first
    ST_SERVICE_RECORD r;
    if (!cmServiceRecordParse(records[i], &r)) continue;
    const std::string cells[] = {r.time,
                                 "COM" + std::to_string(r.port),
                                 r.serial.value_or("-"),
                                 r.result,
                                 r.reason.value_or(""),
                                 r.version_before.value_or("-") + " -> " + r.version_after.value_or("-"),
                                 Fixed1(r.seconds),
                                 r.attempt ? std::to_string(*r.attempt) : ""};
    html += "<tr>";
    for (const std::string& cell : cells) html += "<td>" + Escape(cell) + "</td>";
    html += "<td>";
    if (r.log) html += "log";
    html += "</td></tr>";
  }
  return html;
}

void Replace(std::string* text, const std::string& mark, const std::string& with) {
  const size_t at = text->find(mark);
  if (at != std::string::npos) text->replace(at, mark.size(), with);
}

// The whole of a file this run wrote; none when it cannot be read.
std::optional<std::string> ReadWhole(const std::string& utf8_path) {
  const std::u8string name(utf8_path.begin(), utf8_path.end());
  std::ifstream in(std::filesystem::path(name), std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void Secure(httplib::Response& res) {
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  // The page is whole in itself: it may not fetch, load or send anything outside the station.
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; connect-src 'self'; "
                 "img-src 'self'; base-uri 'none'; form-action 'none'");
}

}  // namespace

bool cmHttpWhereParse(const std::string& text, CM_HTTP_WHERE* where, std::string* error) {
  CM_HTTP_WHERE parsed;
  std::string port = text;
  if (!text.empty() && text.front() == '[') {  // [IPv6]:PORT
    const size_t close = text.find("]:");
    if (close == std::string::npos || close == 1) {
      *error = "'" + text + "' is not [ADDR:]PORT";
      return false;
    }
    parsed.host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
    parsed.host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (parsed.host.empty() || parsed.host.find(':') != std::string::npos) {
      *error = "'" + text + "' is not [ADDR:]PORT (an IPv6 address goes in brackets)";
      return false;
    }
  }
  for (const char c : parsed.host)
    if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '[' || c == ']') {
      *error = "'" + text + "' is not [ADDR:]PORT";
      return false;
    }
  int number = -1;
  const auto [end, failed] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (port.empty() || failed != std::errc() || end != port.data() + port.size() || number < 0 || number > 65535) {
    *error = "'" + port + "' is not a port number (0 to 65535; 0 picks a free one)";
    return false;
  }
  parsed.port = number;
  *where = parsed;
  return true;
}

bool cmHttpIsLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

std::string cmStationPageHtml(const CM_BOARD_VIEW& view, const std::vector<std::string>& records) {
  std::string html = kStationPageHtml;
  std::string tiles;
  for (size_t i = 0; i < view.tiles.size(); ++i) tiles += TileHtml(view.tiles[i], view.run.attempts, cmBoardLogHref(view.tiles[i].log));
  Replace(&html, "<!--RUN-->", RunHtml(view));
  Replace(&html, "<!--TILES-->", tiles);
  Replace(&html, "<!--RECORDS-->", RecordsHtml(records));
  return html;
}

struct CmStationPage::Impl {
  CmBoard* board = nullptr;
  httplib::Server server;
  std::thread listener;
  std::string url;
  std::atomic<int> streams{0};
  std::atomic<bool> stopping{false};
  std::atomic<bool> listened{false};  // the listener has returned

  void Routes() {
    server.new_task_queue = [] { return new NewestFirst(kWorkers); };
    // The page's port is this station's alone: never shared with another listener.
    server.set_socket_options([](socket_t sock) { platform::ListenAlone(static_cast<uintptr_t>(sock)); });
    server.set_read_timeout(kReadSeconds, 0);
    server.set_write_timeout(kWriteSeconds, 0);
    server.set_keep_alive_timeout(kKeepAliveSeconds);
    server.set_payload_max_length(4096);  // nothing here takes a body: a small one is read and refused
    server.Get("/", [this](const httplib::Request&, httplib::Response& res) {
      Secure(res);
      res.set_content(cmStationPageHtml(board->View(), board->Records()), "text/html; charset=utf-8");
    });
    server.Get("/api/state", [this](const httplib::Request&, httplib::Response& res) {
      Secure(res);
      res.set_content(cmBoardStateJson(board->View()), "application/json");
    });
    server.Get("/api/records", [this](const httplib::Request&, httplib::Response& res) {
      Secure(res);
      res.set_content(cmBoardRecordsJson(board->Records()), "application/json");
    });
    // Only names from the table of this run's logs: the request never makes a path.
    server.Get(R"(/logs/([^/\\]+))", [this](const httplib::Request& req, httplib::Response& res) {
      Secure(res);
      const std::optional<std::string> path = board->LogPath(req.matches[1]);
      const std::optional<std::string> text = path ? ReadWhole(*path) : std::nullopt;
      if (!text) {
        res.status = 404;
        return;
      }
      res.set_content(*text, "text/plain; charset=utf-8");
    });
    server.Get("/events", [this](const httplib::Request&, httplib::Response& res) { Stream(res); });
    const auto refused = [](const httplib::Request&, httplib::Response& res) {
      res.status = 405;
      res.set_header("Allow", "GET, HEAD");
    };
    server.Post(".*", refused);
    server.Put(".*", refused);
    server.Patch(".*", refused);
    server.Delete(".*", refused);
    server.Options(".*", refused);
    server.set_error_handler([](const httplib::Request&, httplib::Response& res) {
      if (res.body.empty()) res.set_content(std::to_string(res.status) + "\n", "text/plain");
    });
  }

  // The state as it changes, as server-sent events: at most one every kStreamEveryMs, the first
  // change after a quiet spell at once, and a comment every kHeartbeat so that a reader who has
  // gone is noticed.
  void Stream(httplib::Response& res) {
    Secure(res);
    if (++streams > kMostStreams) {
      --streams;
      res.status = 503;
      res.set_content("no stream left: look at /api/state\n", "text/plain");
      return;
    }
    struct Sent {
      uint64_t changes = UINT64_MAX;
      Clock::time_point at{};
    };
    auto sent = std::make_shared<Sent>();
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, sent](size_t, httplib::DataSink& sink) {
          const auto every = std::chrono::milliseconds(kStreamEveryMs);
          const auto heartbeat_at = Clock::now() + kHeartbeat;
          for (;;) {
            if (stopping) {
              // The station is closing: the run's last state (over) goes out at once, so that an
              // open page says the run has ended instead of waiting on a stream that is gone.
              const std::string event = "event: state\ndata: " + cmBoardStateJson(board->View()) + "\n\n";
              if (sink.write(event.data(), event.size())) sink.done();
              return false;
            }
            const uint64_t changes = board->Changes();
            const Clock::time_point now = Clock::now();
            if (changes != sent->changes && now >= sent->at + every) {
              const CM_BOARD_VIEW view = board->View();
              const std::string event = "event: state\ndata: " + cmBoardStateJson(view) + "\n\n";
              sent->changes = changes;
              sent->at = now;
              if (!sink.write(event.data(), event.size())) return false;
              if (view.over) sink.done();
              return true;
            }
            if (now >= heartbeat_at) {
              static const char kComment[] = ": still here\n\n";
              return sink.write(kComment, sizeof kComment - 1);
            }
            // A change not yet due waits for its moment; otherwise the next change.
            const auto until = changes != sent->changes ? sent->at + every : heartbeat_at;
            board->WaitChange(changes, std::chrono::duration_cast<std::chrono::milliseconds>(until - now) +
                                           std::chrono::milliseconds(1));
          }
        },
        [this](bool) { --streams; });
  }
};

CmStationPage::CmStationPage(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<CmStationPage> CmStationPage::Start(const CM_HTTP_WHERE& where, CmBoard* board, std::string* error) {
  auto impl = std::make_unique<Impl>();
  impl->board = board;
  impl->Routes();
  int port = where.port;
  if (port == 0) {
    port = impl->server.bind_to_any_port(where.host);
  } else if (!impl->server.bind_to_port(where.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    *error = "cannot serve the page at " + where.host + ":" + std::to_string(where.port) +
             ": the address is taken or not this machine's";
    return nullptr;
  }
  const std::string host = where.host.find(':') != std::string::npos ? "[" + where.host + "]" : where.host;
  impl->url = "http://" + host + ":" + std::to_string(port) + "/";
  Impl* raw = impl.get();
  impl->listener = std::thread([raw] {
    raw->server.listen_after_bind();
    raw->listened = true;
  });
  // The server heeds a stop only once it runs: one that came before would be lost, and the
  // page's end would wait for its listener for ever. It runs before the page is handed out.
  while (!impl->server.is_running() && !impl->listened) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return std::unique_ptr<CmStationPage>(new CmStationPage(std::move(impl)));
}

CmStationPage::~CmStationPage() {
  impl_->board->Close();  // the run is over, and the streams waiting for a change wake
  impl_->stopping = true;
  impl_->server.stop();
  if (impl_->listener.joinable()) impl_->listener.join();
}

std::string CmStationPage::Url() const { return impl_->url; }
