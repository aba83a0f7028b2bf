// Parameter reads answered with another byte count or address than asked, against the simulated
// target: an answer for the address asked is the answer (fewer bytes fail the line at once, more
// are cut to the bytes asked), one for another address is a late one, and so is the late answer
// of a read given up that comes while the next read of its address waits.
#include <chrono>
#include <optional>

#include "tests/e2e_console.h"
#include "tests/e2e_support.h"

namespace e2e {
namespace {

const std::string kHeader = kBanner + "Product: SW Version 01.02.0345\n\n" + kRule + "\n";
const std::string kHyphens = std::string(79, '-') + "\n";
const std::string kPrompt = "Action get/set/quit[g/s/q]: ";
const std::string kGetHead = kHeader + "OPEN: s.txt => OUT: s_01_02_0345.out\n\n";

class ShortAnswerTest : public ConsoleTest {};

TEST_F(ShortAnswerTest, AnAnswerForTheAddressAskedIsTheAnswer) {
  constexpr uint16_t kGet = 0x0033;
  struct Row {
    const char* name;
    std::string command;   // params (keys below) or param_get (the settings s.txt below)
    std::string input;     // keys, or the settings file
    sim::Fault fault;      // how the reads are answered
    std::optional<sim::Fault> then;  // set once the first read is in
    const char* wait_ms;   // HALVERN_WAIT_MS
    std::string out, err, out_file;
    int exit_status;
  };
  sim::Fault two_bytes, first_two_bytes, four_bytes, elsewhere, slow;
  two_bytes.area_count = 2;
  first_two_bytes.area_count = 2;
  first_two_bytes.times = 1;
  four_bytes.area_count = 4;
  elsewhere.area_address = 0x0011;  // two bytes at 0x0011, whatever read is asked
  elsewhere.area_count = 2;
  slow.delay_ms = 900;  // after the first read was given up, before the second one is
  const std::string short_note = "halvern: 0x0010: the repeater answered 2 of 4 bytes\n";
  const Row rows[] = {
      // Fewer bytes fail the line at once, as a refusal does; the wait is not run out.
      {"short, console", "params", "g16\n4\nq", two_bytes, {}, "20000",
       kHeader + kPrompt + "g\n\nAddress: \nLength: " + kHyphens + "error\n\n" + kHyphens + kPrompt + "q", short_note,
       "", 0},
      // Nothing of that line goes into the output file; the next line is read as usual.
      {"short, param_get", "param_get", "0x10:a:4\n17:b:0\n", first_two_bytes, {}, "20000",
       kGetHead + "adr   16, len  4error\n\n" + "adr   17, len  1 17:b:55\n\n" + kRule, short_note, "17:b:55\n", 1},
      {"more bytes, param_get", "param_get", "0x10:w:0\n", four_bytes, {}, "20000",
       kGetHead + "adr   16, len  2 0x10:w:7F55\n\n" + kRule,
       "halvern: 0x0010: the repeater answered 4 of 2 bytes: the first 2 are used\n", "0x10:w:7F55\n", 0},
      // The same answer is a late one for the read of 0x0010, and the short answer of the read of 0x0011.
      {"another address", "param_get", "0x10:a:4\n0x11:a:4\n", elsewhere, {}, "300",
       kGetHead + "adr   16, len  4\nError\n\n" + "adr   17, len  4error\n\n" + kRule,
       "halvern: 0x0011: the repeater answered 2 of 4 bytes\n", "", 1},
      // The first read is given up; its late answer (two bytes) comes while the read of four bytes
      // at the same address waits, and is dropped; that read's own answer, two bytes, is short.
      {"late answer of a read given up", "param_get", "0x10:w:0\n0x10:a:4\n", slow, two_bytes, "600",
       kGetHead + "adr   16, len  2\nError\n\n" + "adr   16, len  4error\n\n" + kRule, short_note, "", 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    target_.reset();  // the last row's target takes its tree with it before the next one lays its own
    StartTarget();
    target_->SetParamArea(16, {0x7F, 0x55, 0x66, 0x77});
    target_->SetFault(kGet, row.fault);
    extra_env_ = {{"HALVERN_WAIT_MS", row.wait_ms}};
    const auto start = std::chrono::steady_clock::now();
    if (row.command == "params") {
      StartTool({"-p", "RX5120", "-cmd", "params"});
      Keys(row.input);
    } else {
      WriteFile("s.txt", row.input);
      StartTool({"-p", "RX5120", "-cmd", row.command, "-settings", "s.txt"});
    }
    if (row.then) {
      ASSERT_TRUE(target_->WaitForEvent(kGet, std::chrono::seconds(10)));
      target_->SetFault(kGet, *row.then);  // from the next read on
    }
    EXPECT_EQ(Finish(), row.exit_status);
    // Far below a wait of 20 s: the answers were not waited out.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
    EXPECT_EQ(tool_->Out(), row.out);
    EXPECT_EQ(tool_->Err(), row.err);
    if (row.command == "param_get") {
      EXPECT_EQ(ReadFile(work_ / "s_01_02_0345.out"), row.out_file);
    }
  }
}

}  // namespace
}  // namespace e2e
