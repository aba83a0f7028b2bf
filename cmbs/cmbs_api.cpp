#include "cmbs/cmbs_api.h"

#include <chrono>

#include "cmbs/cmbs_event.h"
#include "cmbs/cmbs_frame.h"
#include "cmbs/cmbs_int.h"
#include "cmbs/cmbs_rx.h"
#include "platform/debug.h"
#include "serial/serial_port.h"

ST_CMBS_API_INST g_cmbs;

namespace {

constexpr uint32_t kLinkWaitMs = 5000;

bool OnReceiveThread() {
  return g_cmbs.rx_thread.joinable() && g_cmbs.rx_thread.get_id() == std::this_thread::get_id();
}

// Waits for a receive thread that was told to stop, then releases what it used.
void ReleaseAll() {
  g_cmbs.run.store(false);
  if (platform::Event* wake = g_cmbs.rx_wake_signal.load()) wake->Set();
  if (g_cmbs.rx_thread.joinable()) g_cmbs.rx_thread.join();
  if (g_cmbs.tx_lock) {
    std::lock_guard guard(*g_cmbs.tx_lock);
    cmbs_uart_Close();
  } else {
    cmbs_uart_Close();
  }
  {
    std::lock_guard outside(g_cmbs.outside_wake_mutex);
    g_cmbs.rx_wake_signal.store(nullptr);
    g_cmbs.init_signal.store(nullptr);
  }
  g_cmbs.tx_lock.reset();
  g_cmbs.init_event.reset();
  g_cmbs.rx_wake.reset();
}

int Fail(int result) {
  platform::DebugOutput("cmbs_api_init Fail\n");
  cmbs_api_Destroy();
  return result;
}

}  // namespace

ST_CMBS_API_INST::~ST_CMBS_API_INST() {
  // At exit: a link left up (or stopped from its own thread) still has a thread to collect
  // and a port to drain.
  if (OnReceiveThread())
    rx_thread.detach();
  else
    ReleaseAll();
}

int cmbs_api_Init(int unused, const ST_CMBS_INIT* init, const ST_CMBS_HELLO* hello) {
  ReleaseAll();  // a link stopped from its own receive thread is collected here
  {
    std::lock_guard lock(g_cmbs.state_mutex);
    g_cmbs.state = ST_CMBS_API_STATE{};
  }
  platform::DebugOutput("Initialize\n");
  g_cmbs.tx_lock = std::make_unique<std::recursive_mutex>();
  platform::DebugOutput("Critical Section\n");
  g_cmbs.state.unused = unused;
  g_cmbs.state.byte_order = cmbs_util_HostByteOrder();

  if (!init) return Fail(CMBS_RC_ERROR_PARAMETER);
  g_cmbs.state.device_type = init->device_type;
  if (init->device_type < 0 || init->device_type > 1) return Fail(CMBS_RC_ERROR_INIT);

  g_cmbs.line_gone.store(false);
  g_cmbs.write_failed.store(false);

  if (cmbs_uart_Open(init->uart_config, cmbs_rx_Notice) != 0) {
    platform::DebugOutput("UART ISSUE\n");
    return Fail(CMBS_RC_ERROR_INIT);
  }
  platform::DebugOutput("UART Initialized\n");

  uint16_t hello_length = 0;
  if (hello) {
    g_cmbs.state.hello_mode = hello->mode;
    if (hello->mode == 3 && hello->record) {
      uint8_t* p = g_cmbs.state.hello_params;
      p[0] = static_cast<uint8_t>(hello->record[0]);
      p[1] = static_cast<uint8_t>(hello->record[1]);
      p[2] = static_cast<uint8_t>(hello->record[2]);
      cmbs_ie_PutU16(p + 3, static_cast<uint16_t>(hello->record[3]));
      hello_length = 5;
    }
  }

  platform::DebugOutput("Events create\n");
  g_cmbs.rx_wake = std::make_unique<platform::Event>("CMBS_REC Path", false);
  g_cmbs.init_event = std::make_unique<platform::Event>("CMBS Init Block", false);
  // Arrivals before this point need no wake-up: the thread reads whatever is queued when it starts.
  g_cmbs.rx_wake_signal.store(g_cmbs.rx_wake.get());
  g_cmbs.init_signal.store(g_cmbs.init_event.get());

  g_cmbs.run.store(true);
  try {
    g_cmbs.rx_thread = std::thread(cmbs_rx_Thread, &g_cmbs);
  } catch (...) {
    // No thread: the wait below times out like a thread that never reported.
  }
  if (!g_cmbs.init_event->Wait(kLinkWaitMs) || g_cmbs.line_gone.load()) {
    platform::DebugOutput("Timeout Error - Worker thread \n");
    return Fail(CMBS_RC_ERROR_INIT);
  }

  platform::DebugOutput("Send Hello\n");
  cmbs_internal_Send(CMBS_INT_HELLO, hello_length ? g_cmbs.state.hello_params : nullptr, hello_length);
  platform::DebugOutput("Wait For Object\n");
  if (!g_cmbs.init_event->Wait(kLinkWaitMs) || g_cmbs.line_gone.load()) {  // no answer, or no line
    platform::DebugOutput("Timeout Error\n");
    return Fail(CMBS_RC_ERROR_INIT);
  }

  platform::DebugOutput("Reset Communication\n");
  cmbs_internal_Send(CMBS_INT_RESET_COMM, nullptr, 0);
  return CMBS_RC_OK;
}

void* cmbs_api_RegisterCallback(void* context, PFN_CMBS_API_CB callback, uint16_t value) {
  std::lock_guard lock(g_cmbs.state_mutex);
  if (g_cmbs.state.callback) return nullptr;
  g_cmbs.state.app_context = context;
  g_cmbs.state.callback = callback;
  g_cmbs.state.reg_value = value;
  return &g_cmbs;
}

void cmbs_api_SetBurstEnd(PFN_CMBS_RX_BURST_END on_burst_end) { g_cmbs.burst_end.store(on_burst_end); }

int cmbs_api_Destroy() {
  platform::DebugOutput("Destroy\n");
  g_cmbs.run.store(false);
  if (platform::Event* wake = g_cmbs.rx_wake_signal.load()) wake->Set();
  if (OnReceiveThread()) {
    // Called from a callback: the thread ends once the callback returns and hands out no
    // further frame (run flag). The port goes now; the rest is collected by the next
    // Destroy or Init on another thread, which waits for this thread to end.
    std::recursive_mutex* lock = g_cmbs.tx_lock.get();
    if (lock) {
      std::lock_guard guard(*lock);
      cmbs_uart_Close();
    }
    return 0;
  }
  ReleaseAll();
  return 0;
}

bool cmbs_api_LineGone() { return g_cmbs.line_gone.load(); }

int cmbs_api_Flush() {
  std::recursive_mutex* lock = g_cmbs.tx_lock.get();
  if (!lock) return CMBS_RC_ERROR_SEND;
  std::lock_guard guard(*lock);  // a frame being written is finished first
  if (g_cmbs.write_failed.load() || cmbs_uart_Drain() != 0) return CMBS_RC_ERROR_SEND;
  return CMBS_RC_OK;
}

uint16_t cmbs_api_HelloWord0Get() { return g_cmbs.state.target.word0; }
uint16_t cmbs_api_BuildGet() { return g_cmbs.state.target.build; }
uint16_t cmbs_api_ProductVersionGet() { return g_cmbs.state.target.product_version; }
uint16_t cmbs_api_HelloWord3Get() { return g_cmbs.state.target.word3; }
uint8_t cmbs_api_TypeGet() { return g_cmbs.state.type; }
