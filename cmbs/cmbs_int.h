// The link's control block, shared by the sender, the receive path, the element builder
// and link control. One link exists at a time.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "cmbs/cmbs_api.h"
#include "cmbs/cmbs_ie.h"
#include "platform/event.h"

constexpr int CMBS_BUILD_SLOTS = 4;
constexpr int CMBS_HELLO_REPLY_SIZE = 29;

// Target identification as the hello reply carries it.
struct ST_CMBS_TARGET_ID {
  uint16_t word0;
  uint16_t build;
  uint16_t product_version;
  uint16_t word3;
  uint8_t b9;
  uint32_t u10;
  uint32_t u14;
  uint16_t w18;
  uint8_t b20;
  uint32_t u21;
  uint32_t u25;
};

// Plain state, cleared at every init.
struct ST_CMBS_API_STATE {
  int unused;
  void* app_context;
  PFN_CMBS_API_CB callback;
  uint16_t reg_value;
  ST_CMBS_PARAM_BLOCK builder;
  std::array<std::array<uint8_t, CMBS_BUILD_BUFFER_SIZE>, CMBS_BUILD_SLOTS> build_buffer;
  std::array<std::thread::id, CMBS_BUILD_SLOTS> build_slot;
  ST_CMBS_TARGET_ID target;
  uint8_t type;
  int byte_order;
  int device_type;
  int hello_mode;
  uint8_t hello_params[5];
};

struct ST_CMBS_API_INST {
  ST_CMBS_API_STATE state{};
  std::mutex state_mutex;  // guards callback registration and builder slots
  std::unique_ptr<std::recursive_mutex> tx_lock;
  std::unique_ptr<platform::Event> rx_wake;
  std::unique_ptr<platform::Event> init_event;
  std::atomic<platform::Event*> rx_wake_signal{nullptr};
  std::atomic<platform::Event*> init_signal{nullptr};  // init_event for the port's thread
  // Held by a thread that is no part of the link (a stop request) while it wakes the receive
  // thread, and by the release while it takes the wake-up away: never a wake-up of a freed event.
  std::mutex outside_wake_mutex;
  std::atomic<bool> line_gone{false};                  // the port reported the line gone
  std::atomic<bool> write_failed{false};               // a frame did not go whole since the link came up
  std::atomic<bool> run{false};
  std::atomic<PFN_CMBS_RX_BURST_END> burst_end{nullptr};
  std::thread rx_thread;
  ~ST_CMBS_API_INST();
};

extern ST_CMBS_API_INST g_cmbs;

// Receive path (cmbs_rx.cpp).
void cmbs_rx_Thread(ST_CMBS_API_INST* inst);
void cmbs_rx_HandleInternal(uint8_t code, const uint8_t* params, uint16_t length);
