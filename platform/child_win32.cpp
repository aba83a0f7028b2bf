// Child programs are not run on Windows yet: starting one fails, so a caller reports it
// as not started.
#include "platform/child.h"

namespace platform {

Child::~Child() = default;

bool Child::Start(const std::vector<std::string>&, const std::vector<std::pair<std::string, std::string>>&,
                  const std::string&) {
  return false;
}
bool Child::Send(const std::string&) { return false; }
void Child::CloseInput() {}
void Child::RequestStop() {}
void Child::Interrupt() {}
void Child::PumpAll(const std::vector<Child*>&, int) {}
bool Child::Pump(int) { return false; }
bool Child::WaitForOutput(const std::function<bool(const std::string&)>& done, int) { return done(out_); }
bool Child::WaitForText(const std::string& text, int) { return out_.find(text) != std::string::npos; }
int Child::Finish(int) { return status_; }
int Child::Wait(int) { return status_; }

}  // namespace platform
