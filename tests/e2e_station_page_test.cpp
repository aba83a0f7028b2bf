// -http: the station's own page, its JSON and its event stream, read over HTTP while simulated
// repeaters are served; and requests no page would send, while a repeater is served.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "station/station_page.h"
#include "tests/http_reader.h"
#include "tests/station_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr uint16_t kFwStart = 0x000E, kFwNext = 0x0010;

// One unit as a state event showed it.
struct Seen {
  std::string state;
  uint64_t bytes = 0, total = 0;
  int attempt = 0;
};

// The units of a state (JSON from /api/state or an event), by serial number.
std::map<std::string, Seen> UnitsOf(const std::string& json) {
  static const std::regex unit(
      R"re("serial":"([^"]*)","state":"([a-z]+)","bytes":(\d+),"total":(\d+),[^}]*"attempt":(\d+))re");
  std::map<std::string, Seen> units;
  for (std::sregex_iterator it(json.begin(), json.end(), unit), end; it != end; ++it)
    units[(*it)[1]] = {(*it)[2], std::stoull((*it)[3]), std::stoull((*it)[4]), std::stoi((*it)[5])};
  return units;
}

class StationPageTest : public e2e::StationTest {
 protected:
  ~StationPageTest() override { StopEvents(); }

  // The watch with its page on a free port of loopback.
  void StartPage(std::vector<std::string> args) {
    args.insert(args.end(), {"-http", "127.0.0.1:0"});
    StartWatch(args);
    static const std::regex said(R"(halvern: the station's page is at http://127\.0\.0\.1:(\d+)/\n)");
    std::smatch m;
    ASSERT_TRUE(tool_->WaitForOutput([&](const std::string&) { return std::regex_search(tool_->Err(), m, said); },
                                     5000))
        << tool_->Err();
    port_ = std::stoi(m[1]);
  }
  std::string Get(const std::string& path, int* status = nullptr) const {
    const e2e::HttpAnswer answer = e2e::HttpGet(port_, path);
    if (status) *status = answer.status;
    return answer.body;
  }

  // Reads /events in a thread of its own: each state event's data, in order.
  void FollowEvents() {
    events_thread_ = std::thread([this] {
      std::string pending;
      e2e::HttpGet(port_, "/events", [&](const std::string& data) {
        pending += data;
        for (size_t end = pending.find("\n\n"); end != std::string::npos; end = pending.find("\n\n")) {
          const std::string event = pending.substr(0, end);
          pending.erase(0, end + 2);
          const size_t at = event.find("data: ");
          if (event.rfind("event: state\n", 0) == 0 && at != std::string::npos) {
            std::lock_guard lock(events_mutex_);
            events_.push_back(event.substr(at + 6));
          }
        }
        return !stop_events_;
      });
    });
  }
  void StopEvents() {
    stop_events_ = true;
    if (events_thread_.joinable()) events_thread_.join();
  }
  // The states a unit went through, one entry per change of state or attempt.
  std::vector<std::string> StatesOf(const std::string& serial) {
    std::lock_guard lock(events_mutex_);
    std::vector<std::string> states;
    for (const std::string& event : events_) {
      const auto units = UnitsOf(event);
      const auto it = units.find(serial);
      if (it == units.end()) continue;
      const std::string step = it->second.state + "/" + std::to_string(it->second.attempt);
      if (states.empty() || states.back() != step) states.push_back(step);
    }
    return states;
  }
  // The bytes of a unit's transfer as the events showed them.
  std::vector<uint64_t> BytesOf(const std::string& serial) {
    std::lock_guard lock(events_mutex_);
    std::vector<uint64_t> bytes;
    for (const std::string& event : events_) {
      const auto units = UnitsOf(event);
      if (const auto it = units.find(serial); it != units.end() && it->second.state == "transferring")
        bytes.push_back(it->second.bytes);
    }
    return bytes;
  }

  int port_ = 0;
  std::thread events_thread_;
  std::atomic<bool> stop_events_{false};
  std::mutex events_mutex_;
  std::vector<std::string> events_;
};

// Three units: one served, one refused, one that loses its line and is put back. The stream
// follows each through its states and its progress; the records and a log are served as written.
TEST_F(StationPageTest, TheStreamFollowsEachUnitAndTheRecordsAreTheReports) {
  sim::Config served, refused, reseated;
  served.usb_serial = "RX9001";
  // Transfers at the line's real rate take long enough (about a second) to be seen going.
  served.paced = reseated.paced = served.pace_host_bytes = reseated.pace_host_bytes = true;
  refused.usb_serial = "RX9002";
  reseated.usb_serial = "RX9003";
  sim::Target& a = Add(served, false);
  sim::Target& b = Add(refused, false);
  sim::Target& c = Add(reseated, false);
  sim::Fault no;
  no.result = 1;
  b.SetFault(kFwStart, no);
  sim::Fault gone;
  gone.hang_up = true;
  gone.after = 12;
  gone.times = 1;
  c.SetFault(kFwNext, gone);
  const std::string report = Path("r.jsonl");
  std::filesystem::create_directories(Path("logs"));
  const std::string image = Write("fw.bin", std::string(12000, 'P'));
  StartPage({"-cmd", "update", "-fw", image, "-report", report, "-logdir", Path("logs")});
  FollowEvents();
  ASSERT_TRUE(a.Plug() && b.Plug() && c.Plug());
  ASSERT_TRUE(WaitForCount("serial RX9003 ended: disconnected", 1)) << tool_->Out();
  // The unit is put back only once its page has shown it lost: on a busy machine a fixed pause
  // could end before the stream's next event, and the stage would never have lasted.
  const auto last_state = [&](const char* step) {
    for (auto deadline = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < deadline;) {
      const std::vector<std::string> states = StatesOf("RX9003");
      if (!states.empty() && states.back() == step) return true;
      tool_->WaitForOutput([](const std::string&) { return false; }, 50);  // keeps its output read
    }
    return false;
  };
  ASSERT_TRUE(last_state("disconnected/1")) << ::testing::PrintToString(StatesOf("RX9003"));
  c.Unplug();
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(c.Plug());
  ASSERT_TRUE(WaitForCount("ended: ok", 2)) << tool_->Out();
  ASSERT_TRUE(WaitForCount("ended: failed", 1)) << tool_->Out();
  ASSERT_TRUE(WaitForLines(report, 4));
  ASSERT_TRUE(last_state("ok/2")) << ::testing::PrintToString(StatesOf("RX9003"));

  // A stream sends at most 4 states a second: a stage shorter than that ("waiting" for a unit
  // plugged in, "linking") may fall between two,
  // but none comes out of order and none that lasts is missed.
  struct Unit {
    const char* serial;
    std::vector<std::string> all, lasting;
  };
  const Unit units_seen[] = {
      {"RX9001", {"waiting/0", "linking/1", "transferring/1", "ok/1"}, {"transferring/1", "ok/1"}},
      {"RX9002", {"waiting/0", "linking/1", "failed/1"}, {"failed/1"}},
      {"RX9003", {"waiting/0", "linking/1", "transferring/1", "disconnected/1", "linking/2", "transferring/2", "ok/2"},
       {"transferring/1", "disconnected/1", "transferring/2", "ok/2"}},
  };
  const auto within = [](const std::vector<std::string>& part, const std::vector<std::string>& whole) {
    size_t at = 0;
    for (const std::string& step : whole) at += at < part.size() && part[at] == step;
    return at == part.size();
  };
  for (const Unit& u : units_seen) {
    const std::vector<std::string> seen = StatesOf(u.serial);
    EXPECT_TRUE(within(seen, u.all)) << u.serial << ": " << ::testing::PrintToString(seen);
    EXPECT_TRUE(within(u.lasting, seen)) << u.serial << ": " << ::testing::PrintToString(seen);
  }
  // Progress: rising, in several steps, at most 4 a second.
  const std::vector<uint64_t> bytes = BytesOf("RX9001");
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_TRUE(std::is_sorted(bytes.begin(), bytes.end()));
  EXPECT_LT(bytes.front(), 12000u);

  const std::string state = Get("/api/state");
  EXPECT_NE(state.find(R"("ok":2,"failed":1,"working":0,"skipped":0,"records":4)"), std::string::npos) << state;
  const auto units = UnitsOf(state);
  ASSERT_EQ(units.size(), 3u) << state;
  EXPECT_EQ(units.at("RX9001").bytes, 12000u);
  EXPECT_NE(state.find(R"("reason":"refused")"), std::string::npos) << state;

  std::string lines = "[";
  for (const std::string& line : e2e::Lines(report)) lines += (lines.size() > 1 ? "," : "") + line;
  EXPECT_EQ(Get("/api/records"), lines + "]");

  static const std::regex log_link(R"re("serial":"RX9001"[^}]*"log":"(/logs/[^"]+)")re");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(state, m, log_link)) << state;
  const std::string log = Get(m[1]);
  EXPECT_NE(log.find("FW Update successfully finished"), std::string::npos) << log;
  const std::string page = Get("/");
  EXPECT_NE(page.find("<span class=\"serial\">RX9002</span></h2><p class=\"state\">failed</p>"), std::string::npos);
  EXPECT_EQ(page.find("http://"), std::string::npos) << "the page names nothing outside the station";

  tool_->RequestStop();
  EXPECT_EQ(tool_->Wait(15000), 1) << tool_->Out();
  // The stream's last event, sent as the station closes, tells an open page that the run is over.
  StopEvents();
  std::lock_guard lock(events_mutex_);
  ASSERT_FALSE(events_.empty());
  EXPECT_NE(events_.back().find(R"("over":true)"), std::string::npos) << events_.back();
}

// Requests no page sends, and clients that hold connections: each is refused or let go, while
// a repeater is served completely and /api/state still answers.
TEST_F(StationPageTest, HostileRequestsNeverHoldUpAServiceOrThePage) {
  sim::Config config;
  config.usb_serial = "RX9010";
  config.paced = true;
  sim::Target& target = Add(config, false);
  std::filesystem::create_directories(Path("logs"));
  const std::string image = Write("fw.bin", std::string(20000, 'H'));
  StartPage({"-cmd", "update", "-fw", image, "-logdir", Path("logs")});

  // Idle connections, and one stream whose reader reads nothing.
  const auto connect_to = [this] {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port_));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    return fd;
  };
  std::vector<int> held;
  for (int i = 0; i < 200; ++i) held.push_back(connect_to());
  const int deaf = connect_to();
  const int small = 1024;
  setsockopt(deaf, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string stream_request = "GET /events HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_EQ(write(deaf, stream_request.data(), stream_request.size()), static_cast<ssize_t>(stream_request.size()));
  pollfd answered{deaf, POLLIN, 0};
  ASSERT_EQ(poll(&answered, 1, 5000), 1);  // its stream has begun; it is never read
  // Streams up to the cap, each read only as far as its first line.
  for (int i = 1; i < CmStationPage::kMostStreams; ++i) {
    held.push_back(connect_to());
    ASSERT_EQ(write(held.back(), stream_request.data(), stream_request.size()),
              static_cast<ssize_t>(stream_request.size()));
    char first[16] = {};
    ASSERT_EQ(read(held.back(), first, 12), 12);
    ASSERT_STREQ(first, "HTTP/1.1 200");
  }
  ASSERT_TRUE(target.Plug());

  struct Case {
    const char* what;
    std::string request;
    int status;
  };
  const std::string huge(1 << 20, 'h');
  const Case cases[] = {
      {"a look at the page's headers", "HEAD / HTTP/1.1\r\nHost: x\r\n\r\n", 200},
      {"a stream past the cap", stream_request, 503},
      {"a form posted", "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\nab", 405},
      {"a delete", "DELETE /api/state HTTP/1.1\r\nHost: x\r\n\r\n", 405},
      {"dots", "GET /logs/../../etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", 404},
      {"encoded dots and slashes", "GET /logs/..%2F..%2Fetc%2Fpasswd HTTP/1.1\r\nHost: x\r\n\r\n", 404},
      {"encoded dots", "GET /logs/%2e%2e HTTP/1.1\r\nHost: x\r\n\r\n", 404},
      {"an encoded backslash", "GET /logs/..%5C..%5Cwin.ini HTTP/1.1\r\nHost: x\r\n\r\n", 404},
      {"an absolute path", "GET /logs//etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", 404},
      {"a path outside", "GET /etc/passwd HTTP/1.1\r\nHost: x\r\n\r\n", 404},
      {"a 1 MB header", "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + huge + "\r\n\r\n", 400},
  };
  for (const Case& c : cases) {
    const int fd = connect_to();
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    (void)!write(fd, c.request.data(), c.request.size());
    char answer[64] = {};
    (void)!read(fd, answer, sizeof answer - 1);
    close(fd);
    EXPECT_EQ(std::string(answer).substr(0, 12), "HTTP/1.1 " + std::to_string(c.status)) << c.what;
  }
  int status = 0;
  EXPECT_NE(Get("/api/state", &status).find("\"serial\":\"RX9010\""), std::string::npos);
  EXPECT_EQ(status, 200);

  ASSERT_TRUE(WaitForCount("serial RX9010 ended: ok", 1)) << tool_->Out();
  const std::vector<uint8_t> sent = target.FirmwareImage();
  EXPECT_EQ(std::string(sent.begin(), sent.end()), std::string(20000, 'H'));
  for (const int fd : held) close(fd);
  close(deaf);
  tool_->RequestStop();
  EXPECT_EQ(tool_->Wait(15000), 0) << tool_->Out();
}

}  // namespace
