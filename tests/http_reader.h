// The tests' side of the station's page: plain HTTP/1.1 over a loopback socket, as a browser
// speaks it, kept small so that the tests need none of the page's own library.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>

namespace e2e {

struct HttpAnswer {
  int status = -1;  // -1: no answer
  std::string headers;
  std::string body;  // chunked bodies joined
  std::string Header(const std::string& name) const {
    const std::string key = "\r\n" + name + ": ";
    const size_t at = headers.find(key);
    if (at == std::string::npos) return "";
    const size_t from = at + key.size();
    return headers.substr(from, headers.find("\r\n", from) - from);
  }
};

// Connects to 127.0.0.1:port, -1 when it cannot; reads give up after timeout_s.
inline int HttpConnect(int port, int timeout_s = 10) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  timeval limit{timeout_s, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// GET path; body bytes are handed to on_body as they come (chunks undone) until it returns false
// or the answer ends. The answer's status and headers, and the body when on_body is empty.
inline HttpAnswer HttpGet(int port, const std::string& path,
                          const std::function<bool(const std::string&)>& on_body = {}) {
  HttpAnswer answer;
  const int fd = HttpConnect(port);
  if (fd < 0) return answer;
  const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
    close(fd);
    return answer;
  }
  std::string in;
  bool chunked = false, headers_done = false, more = true;
  char buffer[4096];
  for (ssize_t n; more && (n = read(fd, buffer, sizeof buffer)) > 0;) {
    in.append(buffer, static_cast<size_t>(n));
    if (!headers_done) {
      const size_t end = in.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      answer.headers = in.substr(0, end + 2);
      answer.status = std::atoi(answer.headers.c_str() + 9);
      chunked = answer.headers.find("\r\nTransfer-Encoding: chunked\r\n") != std::string::npos;
      in.erase(0, end + 4);
      headers_done = true;
    }
    std::string body;
    if (!chunked) {
      body.swap(in);
    } else {
      for (;;) {  // whole chunks only: "SIZE\r\nDATA\r\n"
        const size_t line = in.find("\r\n");
        if (line == std::string::npos) break;
        const size_t size = std::strtoul(in.c_str(), nullptr, 16);
        if (in.size() < line + 2 + size + 2) break;
        body += in.substr(line + 2, size);
        in.erase(0, line + 2 + size + 2);
        if (size == 0) more = false;
      }
    }
    if (on_body) {
      if (!body.empty() && !on_body(body)) more = false;
    } else {
      answer.body += body;
    }
  }
  close(fd);
  return answer;
}

}  // namespace e2e
