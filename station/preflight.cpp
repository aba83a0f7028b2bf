#include "station/preflight.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "params/param_file.h"
#include "platform/file_io.h"
#include "platform/open_file.h"
#include "session/product.h"

namespace {

struct NEEDED_FILE {
  const char* path = nullptr;
  const char* kind = nullptr;  // as the messages name it
};

NEEDED_FILE NeededFile(const ST_OPTIONS& o) {
  switch (o.command) {
    case CM_CMD_UPDATE: return {o.fw_path, "firmware file"};
    case CM_CMD_PILL_UPD: return {o.pill_path, "PILL file"};
    case CM_CMD_PARAM_GET:
    case CM_CMD_PARAM_SET: return {o.settings_path, "settings file"};
    default: return {};
  }
}

// There, a file (not a directory), readable and not empty.
bool Readable(const NEEDED_FILE& f, std::string* why) {
  const std::string named = std::string(f.kind) + " '" + f.path + "'";
  if (platform::IsDirectory(f.path)) {
    *why = named + " is a directory";
    return false;
  }
  std::FILE* in = platform::OpenFile(f.path, "rb");
  if (!in) {
    *why = named + ": " + std::generic_category().message(errno);
    return false;
  }
  const bool empty = std::fgetc(in) == EOF;
  const bool failed = std::ferror(in) != 0;
  (void)std::fclose(in);  // read only
  if (failed) *why = named + " cannot be read";
  else if (empty) *why = named + " is empty";
  return !failed && !empty;
}

}  // namespace

bool cmPathIsPerRepeater(const char* path) {
  return path && (std::strstr(path, "{serial}") || std::strstr(path, "{port}"));
}

bool cmPreflightFiles(const ST_OPTIONS& o, bool per_repeater, std::string* why) {
  const NEEDED_FILE f = NeededFile(o);
  if (!f.path) return true;  // the command says itself that it has no file
  if (!per_repeater && cmPathIsPerRepeater(f.path)) return true;
  if (!Readable(f, why)) return false;
  if (o.command == CM_CMD_PARAM_GET || o.command == CM_CMD_PARAM_SET)
    return cmParamFileCheck(f.path, o.command == CM_CMD_PARAM_GET, why);
  return true;
}

std::string cmStationKey(const ST_OPTIONS& o) {
  std::string key = o.product >= 0 && o.product < g_product_count ? g_products[o.product].short_name : "";
  // The device tree as the listing finds it; relative roots are made absolute so that two
  // spellings of one tree are one station.
  for (const char* name : {"HALVERN_DEV_ROOT", "HALVERN_SYSFS_ROOT"}) {
    key += '\n';
    const char* root = std::getenv(name);
    if (!root || !*root) continue;
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::weakly_canonical(root, ec);
    key += ec ? std::string(root) : absolute.generic_string();
  }
  return key;
}
