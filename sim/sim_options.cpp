#include "sim/sim_options.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace sim {
namespace {

std::optional<unsigned long> ParseNumber(const std::string& text, unsigned long max) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return std::nullopt;
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (!end || *end != '\0' || v > max) return std::nullopt;
  return v;
}

}  // namespace

std::optional<std::pair<uint16_t, uint16_t>> ParseVersionText(const std::string& text) {
  // vv.vv.bbbb, hexadecimal digits of either case
  if (text.size() != 10 || text[2] != '.' || text[5] != '.') return std::nullopt;
  for (size_t i : {0, 1, 3, 4, 6, 7, 8, 9})
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
  const auto hex = [&](size_t at, size_t n) {
    return static_cast<uint16_t>(std::stoul(text.substr(at, n), nullptr, 16));
  };
  return std::make_pair(static_cast<uint16_t>(hex(0, 2) << 8 | hex(3, 2)), hex(6, 4));
}

std::optional<Options> ParseOptions(const std::vector<std::string>& args, std::string* error) {
  Options o;
  auto fail = [&](const std::string& why) -> std::optional<Options> {
    *error = why;
    return std::nullopt;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      o.help = true;
      return o;
    } else if (arg == "--version" || arg == "--build" || arg == "--port") {
      if (i + 1 >= args.size()) return fail(arg + " needs a value");
      const std::string& text = args[++i];
      auto v = ParseNumber(text, arg == "--port" ? 255 : 0xFFFF);
      if (!v || (arg == "--port" && *v == 0)) return fail("bad value for " + arg + ": " + text);
      if (arg == "--version") o.config.product_version = static_cast<uint16_t>(*v);
      else if (arg == "--build") o.config.build = static_cast<uint16_t>(*v);
      else o.port = static_cast<uint8_t>(*v);
    } else if (arg == "--count") {
      if (i + 1 >= args.size()) return fail(arg + " needs a value");
      const std::string& text = args[++i];
      auto v = ParseNumber(text, 255);
      if (!v || *v == 0) return fail("bad value for " + arg + ": " + text);
      o.count = static_cast<unsigned>(*v);
      o.counted = true;
    } else if (arg == "--restarts") {
      if (!o.config.restart_ms) o.config.restart_ms = kDefaultRestartMs;
    } else if (arg == "--restart-ms") {
      if (i + 1 >= args.size()) return fail(arg + " needs a value");
      const std::string& text = args[++i];
      auto v = ParseNumber(text, 600000);
      if (!v) return fail("bad value for " + arg + ": " + text);
      o.config.restart_ms = static_cast<int>(*v);
    } else if (arg == "--version-after") {
      if (i + 1 >= args.size()) return fail(arg + " needs a value");
      const std::string& text = args[++i];
      auto v = ParseVersionText(text);
      if (!v) return fail("bad value for " + arg + ": " + text + " (write it as 01.03.0400)");
      o.config.version_after = v->first;
      o.config.build_after = v->second;
    } else if (arg == "--control") {
      if (i + 1 >= args.size()) return fail(arg + " needs a value");
      o.control = args[++i];
    } else if (arg == "--traffic") {
      if (!o.config.log_traffic && !o.config.trace_traffic) o.config.log_traffic = o.config.trace_traffic = true;
    } else if (arg == "--traffic-rate") {
      if (i + 1 >= args.size()) return fail(arg + " needs a value");
      const std::string& text = args[++i];
      auto v = ParseNumber(text, kMaxTrafficRate);
      if (!v || *v == 0) return fail("bad value for " + arg + ": " + text + " (1 to 1000 a second)");
      o.config.traffic_rate = static_cast<int>(*v);
      if (!o.config.log_traffic && !o.config.trace_traffic) o.config.log_traffic = o.config.trace_traffic = true;
    } else if (arg == "--traffic-kinds") {
      if (i + 1 >= args.size()) return fail(arg + " needs a value");
      const std::string& text = args[++i];
      o.config.log_traffic = o.config.trace_traffic = false;
      for (size_t at = 0; at <= text.size();) {
        size_t end = std::min(text.find(',', at), text.size());
        const std::string kind = text.substr(at, end - at);
        if (kind == "log") o.config.log_traffic = true;
        else if (kind == "trace") o.config.trace_traffic = true;
        else return fail("bad value for " + arg + ": " + text + " (log, trace or log,trace)");
        at = end + 1;
      }
    } else if (arg == "--paced") {
      // A real cable carries both directions at the line rate: the host's bytes too.
      o.config.paced = true;
      o.config.pace_host_bytes = true;
    } else if (arg == "--silent") {
      o.config.answer_hello = false;
    } else if (arg == "--") {
      o.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      if (o.command.empty()) return fail("no command after --");
      break;
    } else if (!arg.empty() && arg[0] == '-') {
      return fail("unknown option " + arg);
    } else if (o.dir.empty()) {
      o.dir = arg;
    } else {
      return fail("unexpected argument " + arg + " (a command goes after --)");
    }
  }
  if (o.dir.empty()) return fail("no directory given");
  if (o.port + o.count - 1 > 255) return fail("--count " + std::to_string(o.count) + " from port " +
                                              std::to_string(o.port) + " goes past port 255");
  return o;
}

std::string CountedSerial(unsigned index) {
  char text[16];
  std::snprintf(text, sizeof text, "RX5120-%04u", (index + 1) % 10000);
  return text;
}

}  // namespace sim
