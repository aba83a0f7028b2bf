// The fake sysfs and dev tree through which the tool finds the target as a COM port with
// the repeater's USB ids, and its removal again.
#include <algorithm>
#include <filesystem>
#include <iterator>
#include <set>

#include "sim/sim_impl.h"

namespace sim {
namespace {

// Ports laid out by the targets alive in this process (their tty directories): a second
// target on one of them would take the first one's files over. A tree left behind by a
// process that is gone is laid out anew, as always.
std::mutex g_ports_mutex;
std::set<std::string> g_ports_in_use;

std::string Hex4(uint16_t v) {
  static const char digits[] = "0123456789abcdef";
  std::string s(4, '0');
  for (int i = 3; i >= 0; --i, v = static_cast<uint16_t>(v >> 4)) s[static_cast<size_t>(i)] = digits[v & 0xF];
  return s;
}

// dir made absolute and normal, without a trailing slash.
bool RootOf(const std::string& dir, std::string* root, std::string* error) {
  try {
    *root = std::filesystem::absolute(dir).lexically_normal().string();
  } catch (const std::exception& e) {
    *error = e.what();
    return false;
  }
  while (root->size() > 1 && root->back() == '/') root->pop_back();
  return true;
}

// The paths of one port's part of the tree.
struct PortTree {
  std::string tty;      // ttyACM<port-1>
  std::string usb;      // 1-<port>
  std::string sys;      // root/sys
  std::string tty_dir;  // sys/class/tty/<tty>
  std::string usb_dir;  // sys/devices/usb1/<usb>
  std::string dev;      // root/dev
};

PortTree PortTreeUnder(const std::string& root, uint8_t port) {
  PortTree t;
  t.tty = "ttyACM" + std::to_string(port - 1);
  t.usb = "1-" + std::to_string(port);
  t.sys = root + "/sys";
  t.tty_dir = t.sys + "/class/tty/" + t.tty;
  t.usb_dir = t.sys + "/devices/usb1/" + t.usb;
  t.dev = root + "/dev";
  return t;
}

std::string SerialOf(const Config& config, uint8_t port) {
  return config.usb_serial.empty() ? "SIM5120" + Hex4(port) : config.usb_serial;
}

// Another live target's port in a shared tree: writing there would take its files over.
bool ClaimPort(const std::string& tty_dir) {
  std::lock_guard<std::mutex> lock(g_ports_mutex);
  return g_ports_in_use.insert(tty_dir).second;
}

// Writes one port's directories, files and links; what it created goes to *created,
// outermost first, whether it got through or not. The tty's device link comes last (and goes
// first): until it is there, nobody listing the ports sees a port whose node is missing.
bool WritePortTree(const PortTree& t, const std::string& device, const std::string& serial, uint16_t vid,
                   uint16_t pid, std::vector<std::string>* created, std::string* error) {
  auto keep = [&](bool ok, const std::string& path) {
    if (ok && !path.empty()) created->push_back(path);
    return ok;
  };
  const std::string& usb_dir = t.usb_dir;
  return platform::MakeDirs(t.tty_dir, created, error) &&
         platform::MakeDirs(usb_dir + "/" + t.usb + ":1.0", created, error) &&
         platform::MakeDirs(t.dev, created, error) &&
         keep(platform::WriteLineFile(usb_dir + "/idVendor", Hex4(vid), error), usb_dir + "/idVendor") &&
         keep(platform::WriteLineFile(usb_dir + "/idProduct", Hex4(pid), error), usb_dir + "/idProduct") &&
         keep(platform::WriteLineFile(usb_dir + "/serial", serial, error), usb_dir + "/serial") &&
         keep(platform::WriteLineFile(usb_dir + "/product", "RX5120", error), usb_dir + "/product") &&
         keep(platform::MakeSymlink(device, t.dev + "/" + t.tty, error), t.dev + "/" + t.tty) &&
         keep(platform::MakeSymlink("../../../devices/usb1/" + t.usb + "/" + t.usb + ":1.0", t.tty_dir + "/device",
                                    error),
              t.tty_dir + "/device");
}

}  // namespace

bool Target::LayOutTree(const std::string& dir, uint8_t port, uint16_t vid, uint16_t pid) {
  const std::string device = DevicePath();
  if (device.empty()) return impl_->Fail("the target is not started");
  if (port == 0) return impl_->Fail("port numbers start at 1");
  if (dir.empty()) return impl_->Fail("no directory given");
  std::string root, error;
  if (!RootOf(dir, &root, &error)) return impl_->Fail(error);

  const std::string serial = SerialOf(impl_->config, port);
  const PortTree t = PortTreeUnder(root, port);
  if (!ClaimPort(t.tty_dir)) return impl_->Fail("port " + std::to_string(port) + " is laid out already under " + root);

  std::vector<std::string> created;
  const bool ok = WritePortTree(t, device, serial, vid, pid, &created, &error);
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->tree.insert(impl_->tree.end(), created.begin(), created.end());
  impl_->ports.push_back(t.tty_dir);  // released with the tree, laid out or not
  if (!ok) {
    impl_->last_error = error;
    return false;
  }
  impl_->sysfs_root = t.sys;
  impl_->dev_root = t.dev;
  impl_->root = root;
  impl_->port = port;
  impl_->vid = vid;
  impl_->pid = pid;
  impl_->present = true;
  return true;
}

// The port's entries once more, for the line of now (after an unplug); shared directories
// that are still there stay the target's that made them.
bool Target::Impl::WritePort() {
  std::string dev_path, error;
  PortTree t;
  std::string serial;
  {
    std::lock_guard<std::mutex> lock(mutex);
    dev_path = device_path;
    t = PortTreeUnder(root, port);
    serial = SerialOf(config, port);
  }
  std::vector<std::string> created;
  const bool ok = WritePortTree(t, dev_path, serial, vid, pid, &created, &error);
  std::lock_guard<std::mutex> lock(mutex);
  tree.insert(tree.end(), created.begin(), created.end());
  if (!ok) last_error = error;
  return ok;
}

// Removes the port's own entries (its tty directory, its USB device, its device node),
// innermost first; the directories it shares with other ports stay.
void Target::Impl::RemovePortEntries() {
  std::vector<std::string> mine;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (root.empty()) return;
    const PortTree t = PortTreeUnder(root, port);
    auto inside = [](const std::string& path, const std::string& dir) {
      return path == dir || path.starts_with(dir + "/");
    };
    auto is_mine = [&](const std::string& path) {
      return inside(path, t.tty_dir) || inside(path, t.usb_dir) || path == t.dev + "/" + t.tty;
    };
    std::copy_if(tree.begin(), tree.end(), std::back_inserter(mine), is_mine);
    std::erase_if(tree, is_mine);
  }
  for (auto it = mine.rbegin(); it != mine.rend(); ++it) platform::RemovePath(*it);
}

std::string Target::SysfsRoot() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->sysfs_root;
}

std::string Target::DevRoot() const {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->dev_root;
}

// Removes what LayOutTree made, innermost first, and gives its ports free.
void Target::Impl::RemoveTree() {
  std::vector<std::string> paths;
  {
    std::lock_guard<std::mutex> lock(mutex);
    paths.swap(tree);
    std::lock_guard<std::mutex> ports_lock(g_ports_mutex);
    for (const std::string& port : ports) g_ports_in_use.erase(port);
    ports.clear();
  }
  for (auto it = paths.rbegin(); it != paths.rend(); ++it) platform::RemovePath(*it);
}

}  // namespace sim
