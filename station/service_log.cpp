#include "station/service_log.h"

#include "platform/dir_probe.h"
#include "platform/file_io.h"
#include "platform/path.h"
#include "session/comport_find.h"
#include "session/service_record.h"

std::string cmServiceLogPath(const std::string& dir, const std::string& serial, int port,
                             std::chrono::system_clock::time_point begun) {
  // "2026-12-08T09:30:12.345Z" -> "20261208T093012.345Z"
  std::string time = cmIsoTimeUtc(begun);
  std::erase(time, '-');
  std::erase(time, ':');
  const std::string who = serial.empty() ? "COM" + std::to_string(port) : cmRepeaterSerialFileTag(serial);
  const std::string base = platform::JoinPath(dir, who + "_" + time);
  std::string path = base + ".log";
  for (int n = 2; platform::PathExists(path); ++n) path = base + "_" + std::to_string(n) + ".log";
  return path;
}

bool cmServiceLogWrite(const std::string& path, const std::string& text, std::string* reason) {
  platform::OutputFile file;
  int error = 0;
  if (!file.Create(path, &error)) {
    *reason = platform::FileErrorText(error);
    return false;
  }
  if (file.Write(text.data(), text.size()) != text.size()) {
    *reason = "the log was written in part (file system full?)";
    return false;
  }
  return true;
}

bool cmServiceLogDirReady(const std::string& dir, std::string* reason) {
  return platform::CreateDirectories(dir, reason) && platform::DirTakesFiles(dir, reason);
}
