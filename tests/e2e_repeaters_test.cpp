// Several repeaters attached at once: the list of them, and choosing one by port or serial number.
#include <cstdio>
#include <memory>
#include <thread>

#include "platform/child.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

const std::string kHeader = "PORT    SERIAL NUMBER  SW VERSION     DEVICE\n";

// Repeaters on COM1, COM2, ... in one tree, with the serial numbers RX5120-0001, RX5120-0002, ...
class RepeatersTest : public ::testing::Test {
 protected:
  sim::Target& Add(sim::Config config = {}, uint8_t port = 0, uint16_t pid = 0x5120) {
    if (port == 0) port = static_cast<uint8_t>(targets_.size() + 1);
    char serial[16];
    std::snprintf(serial, sizeof serial, "RX5120-%04d", static_cast<int>(targets_.size() + 1));
    if (config.usb_serial.empty()) config.usb_serial = serial;
    auto& target = *targets_.emplace_back(std::make_unique<sim::Target>(config));
    EXPECT_TRUE(target.Start()) << target.LastError();
    EXPECT_TRUE(target.LayOutTree(Tree(), port, 0x3F7A, pid)) << target.LastError();
    return target;
  }
  sim::Target& At(size_t i) { return *targets_.at(i); }
  std::string Tree() const { return (dir_.path() / "tree").string(); }
  std::string Node(int n) const { return Tree() + "/dev/ttyACM" + std::to_string(n); }

  platform::SpawnResult Run(std::vector<std::string> args) {
    args.insert(args.begin(), HALVERN_EXE);
    return platform::SpawnCapture(args, {{"HALVERN_SYSFS_ROOT", Tree() + "/sys"}, {"HALVERN_DEV_ROOT", Tree() + "/dev"}},
                                  "", 60000);
  }

  // Which repeaters heard a hello, as a string of 0 and 1 in port order.
  std::string Reached() const {
    std::string reached;
    for (const auto& t : targets_) reached += t->Received().empty() ? '0' : '1';
    return reached;
  }

  // The run has ended; the target may still be taking its last frame in.
  template <typename Check>
  static bool Eventually(Check check) {
    for (int i = 0; i < 250 && !check(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return check();
  }

  ~RepeatersTest() override {
    while (!targets_.empty()) targets_.pop_back();  // the last laid out first: shared directories go last
  }

  TempDir dir_;
  std::vector<std::unique_ptr<sim::Target>> targets_;
};

TEST_F(RepeatersTest, ListWithNoneOneAndThreeRepeatersOneOfThemSilent) {
  auto none = Run({"-p", "RX5120", "-cmd", "list"});
  EXPECT_EQ(none.out, kBanner + "No RX5120 attached\n");
  EXPECT_EQ(none.exit_status, 255);

  sim::Config other;
  other.usb_serial = "MODEM";
  Add(other, 9, 0x0001);  // another product's device is never listed
  sim::Config v2;
  v2.product_version = 0x0200;
  v2.build = 0x00AB;
  Add(v2, 1);
  auto one = Run({"-p", "RX5120", "-cmd", "list"});
  EXPECT_EQ(one.out, kBanner + kHeader + "COM1    RX5120-0002    02.00.00ab     " + Node(0) + "\n");
  EXPECT_EQ(one.exit_status, 0);
  EXPECT_EQ(Reached(), "01");
  ASSERT_TRUE(At(1).WaitForFrames(2, std::chrono::seconds(5)));
  EXPECT_EQ(At(1).ReceivedBytes(), Concat({kHelloFrame, kResetCommFrame})) << "the link is brought up and closed";

  sim::Config silent;
  silent.answer_hello = false;
  Add(silent, 2);
  Add({}, 3);
  auto three = Run({"-p", "RX5120", "-cmd", "list"});
  EXPECT_EQ(three.out, kBanner + kHeader +
                           "COM1    RX5120-0002    02.00.00ab     " + Node(0) + "\n"
                           "COM2    RX5120-0003    not answering  " + Node(1) + "\n"
                           "COM3    RX5120-0004    01.02.0345     " + Node(2) + "\n");
  EXPECT_EQ(three.exit_status, 0) << "at least one answered";
  EXPECT_EQ(At(2).ReceivedBytes(), kHelloFrame);

  auto only_silent = Run({"-p", "RX5120", "-cmd", "list", "-port", "2"});
  EXPECT_EQ(only_silent.out, kBanner + kHeader + "COM2    RX5120-0003    not answering  " + Node(1) + "\n");
  EXPECT_EQ(only_silent.exit_status, 1) << "none answered";
}

TEST_F(RepeatersTest, ListWidensForLongSerialNumbersAndShowsNoControlBytes) {
  sim::Config odd;
  odd.usb_serial = "LONG-SERIAL-\x1b[2J-0001";
  Add(odd);
  auto r = Run({"-p", "RX5120", "-cmd", "list"});
  EXPECT_EQ(r.out, kBanner + "PORT    SERIAL NUMBER          SW VERSION     DEVICE\n"
                             "COM1    LONG-SERIAL-?[2J-0001  01.02.0345     " + Node(0) + "\n");
  auto chosen = Run({"-p", "RX5120", "-cmd", "version", "-sn", "LONG-SERIAL-\x1b[2J-0001"});
  EXPECT_EQ(chosen.exit_status, 0) << "chosen by the serial number the device reports";
}

TEST_F(RepeatersTest, PortAndSerialNumberPickTheSecondOfThree) {
  Add();
  Add();
  Add();
  auto by_port = Run({"-p", "RX5120", "-cmd", "reboot", "-port", "2"});
  EXPECT_EQ(by_port.out, kBanner);
  EXPECT_EQ(by_port.exit_status, 0);
  EXPECT_TRUE(Eventually([&] { return At(1).ResetCount() == 1; }));
  EXPECT_EQ(Reached(), "010");

  auto by_serial = Run({"-p", "RX5120", "-cmd", "fact_reset", "-sn", "RX5120-0002"});
  EXPECT_EQ(by_serial.exit_status, 0);
  EXPECT_TRUE(Eventually([&] { return At(1).FactoryResetCount() == 1; }));
  EXPECT_EQ(Reached(), "010");

  auto both = Run({"-p", "RX5120", "-cmd", "version", "-sn", "RX5120-0002", "-port", "2"});
  EXPECT_EQ(both.out, kBanner + "Product: SW Version 01.02.0345\n\n" + kRule + "\n");
  EXPECT_EQ(Reached(), "010");

  // Without a choice the first repeater serves, as always.
  auto plain = Run({"-p", "RX5120", "-cmd", "version"});
  EXPECT_EQ(plain.exit_status, 0);
  EXPECT_EQ(Reached(), "110");
}

TEST_F(RepeatersTest, UnknownPortOrSerialNumberIsAPresenceError) {
  Add();
  Add();
  sim::Config other;
  other.usb_serial = "RX5120-0009";
  Add(other, 7, 0x0001);  // COM7 and this serial belong to another product's device
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-port", "7"}, "[ERROR]No RX5120 on COM7\n"},
      {{"-port", "12"}, "[ERROR]No RX5120 on COM12\n"},
      {{"-sn", "XYZ"}, "[ERROR]No RX5120 with serial number XYZ\n"},
      {{"-sn", "RX5120-0009"}, "[ERROR]No RX5120 with serial number RX5120-0009\n"},
      {{"-sn", "RX5120-000"}, "[ERROR]No RX5120 with serial number RX5120-000\n"},
      {{"-sn", "RX5120-0002", "-port", "1"}, "[ERROR]No RX5120 with serial number RX5120-0002 on COM1\n"},
  };
  for (const auto& [choice, message] : cases) {
    for (const char* command : {"version", "list"}) {
      std::vector<std::string> args = {"-p", "RX5120", "-cmd", command};
      args.insert(args.end(), choice.begin(), choice.end());
      auto r = Run(args);
      EXPECT_EQ(r.out, kBanner + message) << command << " " << choice.front();
      EXPECT_EQ(r.exit_status, 255) << command << " " << choice.front();
    }
  }
  EXPECT_EQ(Reached(), "000");

  auto no_value = Run({"-p", "RX5120", "-cmd", "version", "-port"});
  EXPECT_EQ(no_value.out, kBanner + kUsage);
  EXPECT_EQ(no_value.exit_status, 255);
  EXPECT_EQ(Reached(), "000");
}

TEST_F(RepeatersTest, OneSerialNumberOnTwoRepeatersIsListedAsTheDevicesReportItAndNeverChoosesOne) {
  sim::Config same;
  same.usb_serial = "RX5120-0001";
  Add(same);
  Add(same);
  auto chosen = Run({"-p", "RX5120", "-cmd", "reboot", "-sn", "RX5120-0001"});
  EXPECT_EQ(chosen.out, kBanner + "[ERROR]2 RX5120 with serial number RX5120-0001, on COM1, COM2: choose one with -port\n");
  EXPECT_EQ(chosen.exit_status, 255);
  EXPECT_EQ(Reached(), "00");

  auto list = Run({"-p", "RX5120", "-cmd", "list"});
  EXPECT_EQ(list.out, kBanner + kHeader + "COM1    RX5120-0001    01.02.0345     " + Node(0) + "\n" +
                          "COM2    RX5120-0001    01.02.0345     " + Node(1) + "\n");
  auto both = Run({"-p", "RX5120", "-cmd", "version", "-sn", "RX5120-0001", "-port", "2"});
  EXPECT_EQ(both.exit_status, 0) << both.out;
}

TEST_F(RepeatersTest, APortHeldByAnotherProgramIsSaidToBeInUse) {
  Add();
  Add();
  // Another program holds COM2: here a log console, which keeps its port until its input ends.
  platform::Child holder;
  ASSERT_TRUE(holder.Start({HALVERN_EXE, "-p", "RX5120", "-cmd", "log", "-port", "2"},
                           {{"HALVERN_SYSFS_ROOT", Tree() + "/sys"}, {"HALVERN_DEV_ROOT", Tree() + "/dev"}}));
  ASSERT_TRUE(At(1).WaitForFrames(2, std::chrono::seconds(10)));
  const size_t frames = At(1).Received().size();

  auto list = Run({"-p", "RX5120", "-cmd", "list"});
  EXPECT_EQ(list.out, kBanner + kHeader + "COM1    RX5120-0001    01.02.0345     " + Node(0) + "\n" +
                          "COM2    RX5120-0002    in use by another program  " + Node(1) + "\n");
  EXPECT_EQ(list.exit_status, 0);
  auto version = Run({"-p", "RX5120", "-cmd", "version", "-port", "2"});
  EXPECT_EQ(version.out, kBanner +
                             "[ERROR] Couldn't initialize application.\nPlease check if target is connected and running!\n"
                             "\n[ERROR]\tTarget connectivity failed! Check COMPort is not used from other application\n\n" +
                             kRule + "\n");
  EXPECT_EQ(version.err, "halvern: COM2 (" + Node(1) + ") is in use by another program\n");
  EXPECT_EQ(version.exit_status, 1);
  EXPECT_EQ(At(1).Received().size(), frames) << "nothing reached the held repeater";

  holder.CloseInput();
  EXPECT_EQ(holder.Finish(20000), 0) << holder.Out();
  auto free_again = Run({"-p", "RX5120", "-cmd", "version", "-port", "2"});
  EXPECT_EQ(free_again.err, "");
  EXPECT_EQ(free_again.exit_status, 0);
}

}  // namespace
}  // namespace e2e
