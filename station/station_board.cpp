#include "station/station_board.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>

namespace {

using Clock = std::chrono::steady_clock;

bool IsStage(const std::string& word) { return word == "linking" || word == "transferring" || word == "verifying"; }

// A count of a live note, or none for "-" or anything else.
std::optional<uint64_t> CountOf(const std::string& field) {
  uint64_t n = 0;
  const auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), n);
  if (error != std::errc() || end != field.data() + field.size() || field.empty()) return std::nullopt;
  return n;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  for (size_t at = 0; at <= text.size();) {
    const size_t blank = std::min(text.find(' ', at), text.size());
    words.push_back(text.substr(at, blank - at));
    at = blank + 1;
  }
  return words;
}

// "xx.xx.xxxx" in hex digits, as the records write a version.
bool IsVersion(const std::string& text) {
  if (text.size() != 10 || text[2] != '.' || text[5] != '.') return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (i != 2 && i != 5 && !std::isxdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

std::string Text(const std::string& text) { return cmJsonString(text); }

std::string OrNull(const std::string& text) { return text.empty() ? "null" : cmJsonString(text); }

// A file name as one segment of a URL path: every byte but the unreserved ones percent-encoded.
std::string PathSegment(const std::string& name) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : name) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

}  // namespace

void CmBoard::LetGo() {
  // Finished tiles beyond those shown are let go; their records stay.
  std::vector<std::pair<uint64_t, std::string>> gone;
  for (const auto& [k, entry] : entries_)
    if (!entry.working && !entry.tile.present && entry.finished_order != 0) gone.emplace_back(entry.finished_order, k);
  if (gone.size() <= kFinishedShown) return;
  std::sort(gone.begin(), gone.end());
  for (size_t i = 0; i + kFinishedShown < gone.size(); ++i) entries_.erase(gone[i].second);
}

void CmBoard::Changed() {
  ++changes_;
  changed_.notify_all();
}

void CmBoard::SetRun(const CM_BOARD_RUN& run) {
  std::lock_guard lock(mutex_);
  run_ = run;
  Changed();
}

void CmBoard::Plugged(const std::string& key, int port, const std::string& serial) {
  std::lock_guard lock(mutex_);
  Entry& e = entries_[key];
  e.tile.key = key;
  e.tile.port = port;
  e.tile.serial = serial;
  e.tile.present = true;
  Changed();
}

void CmBoard::Unplugged(const std::string& key) {
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(key);
  if (it == entries_.end() || !it->second.tile.present) return;
  it->second.tile.present = false;
  // One that went before it was served leaves no tile.
  if (!it->second.working && it->second.finished_order == 0) entries_.erase(it);
  LetGo();
  Changed();
}

void CmBoard::Started(const std::string& key, int port, const std::string& serial, int attempt, uint64_t total) {
  std::lock_guard lock(mutex_);
  Entry& e = entries_[key];
  const bool present = e.tile.key.empty() || e.tile.present;
  e.tile = CM_TILE{};
  e.tile.key = key;
  e.tile.port = port;
  e.tile.serial = serial;
  e.tile.state = "linking";
  e.tile.total = total;
  e.tile.attempt = attempt;
  e.tile.present = present;
  e.begin = Clock::now();
  e.working = true;
  Changed();
}

void CmBoard::Live(const std::string& key, const std::string& payload) {
  const std::vector<std::string> words = Words(payload);
  if (words.size() != 4 || !IsStage(words[0])) return;
  std::lock_guard lock(mutex_);
  const auto it = entries_.find(key);
  if (it == entries_.end() || !it->second.working) return;
  CM_TILE& tile = it->second.tile;
  tile.state = words[0];
  if (const auto bytes = CountOf(words[1])) tile.bytes = *bytes;
  if (const auto total = CountOf(words[2])) tile.total = *total;
  if (IsVersion(words[3])) tile.version_before = words[3];
  Changed();
}

void CmBoard::Finished(const std::string& key, const ST_SERVICE_RECORD& record, const std::string& line) {
  std::lock_guard lock(mutex_);
  Entry& e = entries_[key];
  CM_TILE& tile = e.tile;
  if (tile.key.empty()) {
    tile.key = key;
    tile.port = record.port;
    tile.serial = record.serial.value_or("");
    tile.present = false;
  }
  tile.state = record.result;
  if (record.bytes) tile.bytes = *record.bytes;
  if (record.file_size) tile.total = *record.file_size;
  tile.seconds = record.seconds;
  tile.version_before = record.version_before.value_or(tile.version_before);
  tile.version_after = record.version_after.value_or("");
  if (record.attempt) tile.attempt = *record.attempt;
  tile.reason = record.reason.value_or("");
  tile.log.clear();
  if (record.log) {
    tile.log = std::filesystem::path(*record.log).filename().string();
    logs_[tile.log] = *record.log;
  }
  e.working = false;
  e.finished_order = ++finished_count_;
  std::string kept = line;
  while (!kept.empty() && (kept.back() == '\n' || kept.back() == '\r')) kept.pop_back();
  records_.push_back(std::move(kept));
  LetGo();
  Changed();
}

void CmBoard::Close() {
  std::lock_guard lock(mutex_);
  over_ = true;
  Changed();
}

CM_BOARD_VIEW CmBoard::View() const {
  CM_BOARD_VIEW view;
  const Clock::time_point now = Clock::now();
  std::vector<const Entry*> live, finished;
  {
    std::lock_guard lock(mutex_);
    view.run = run_;
    view.records = records_.size();
    view.over = over_;
    for (const auto& [key, e] : entries_) {
      (e.working || e.tile.present ? live : finished).push_back(&e);
      if (e.working) {
        ++view.working;
      } else if (e.finished_order != 0) {
        ++(e.tile.state == "ok" ? view.ok : e.tile.state == "skipped" ? view.skipped : view.failed);
      }
    }
    std::sort(live.begin(), live.end(), [](const Entry* a, const Entry* b) { return a->tile.port < b->tile.port; });
    std::sort(finished.begin(), finished.end(),
              [](const Entry* a, const Entry* b) { return a->finished_order > b->finished_order; });
    for (const std::vector<const Entry*>* group : {&live, &finished})
      for (const Entry* e : *group) {
        view.tiles.push_back(e->tile);
        if (e->working) view.tiles.back().seconds = std::chrono::duration<double>(now - e->begin).count();
      }
  }
  return view;
}

std::vector<std::string> CmBoard::Records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

std::optional<std::string> CmBoard::LogPath(const std::string& name) const {
  std::lock_guard lock(mutex_);
  const auto it = logs_.find(name);
  if (it == logs_.end()) return std::nullopt;
  return it->second;
}

uint64_t CmBoard::WaitChange(uint64_t seen, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, timeout, [&] { return changes_ != seen || over_; });
  return changes_;
}

uint64_t CmBoard::Changes() const {
  std::lock_guard lock(mutex_);
  return changes_;
}

std::string cmBoardStateJson(const CM_BOARD_VIEW& view) {
  const CM_BOARD_RUN& run = view.run;
  std::string json = "{\"run\":{\"id\":" + Text(cmRunId()) + ",\"command\":" + Text(run.command) +
                     ",\"file\":" + OrNull(run.file) + ",\"sha256\":" + OrNull(run.sha256) +
                     ",\"expected\":" + OrNull(run.expected) + ",\"started\":" + Text(run.started) +
                     ",\"attempts\":" + std::to_string(run.attempts) +
                     ",\"ok\":" + std::to_string(view.ok) + ",\"failed\":" + std::to_string(view.failed) +
                     ",\"working\":" + std::to_string(view.working) + ",\"skipped\":" + std::to_string(view.skipped) +
                     ",\"records\":" + std::to_string(view.records) + ",\"over\":" + (view.over ? "true" : "false") +
                     "},\"units\":[";
  for (size_t i = 0; i < view.tiles.size(); ++i) {
    const CM_TILE& t = view.tiles[i];
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", t.seconds);
    const int percent = t.total ? static_cast<int>(std::min<uint64_t>(t.bytes, t.total) * 100 / t.total) : 0;
    json += (i ? ",{" : "{");
    json += "\"key\":" + Text(t.key) + ",\"port\":" + std::to_string(t.port) + ",\"serial\":" + OrNull(t.serial) +
            ",\"state\":" + Text(t.state) + ",\"bytes\":" + std::to_string(t.bytes) +
            ",\"total\":" + std::to_string(t.total) + ",\"percent\":" + std::to_string(percent) +
            ",\"seconds\":" + seconds + ",\"version_before\":" + OrNull(t.version_before) +
            ",\"version_after\":" + OrNull(t.version_after) + ",\"attempt\":" + std::to_string(t.attempt) +
            ",\"reason\":" + OrNull(t.reason) + ",\"log\":" + (t.log.empty() ? "null" : Text(cmBoardLogHref(t.log))) +
            ",\"present\":" + (t.present ? "true" : "false") + "}";
  }
  return json + "]}";
}

std::string cmBoardLogHref(const std::string& name) {
  if (name.empty()) return "";
  std::string href = "/logs/";
  href += PathSegment(name);
  return href;
}

std::string cmBoardRecordsJson(const std::vector<std::string>& records) {
  std::string json = "[";
  for (size_t i = 0; i < records.size(); ++i) json += (i ? "," : "") + records[i];
  return json + "]";
}
