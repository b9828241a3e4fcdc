// Process-wide objects of the application frame, shared by the frame's
// threads, the configuration loader and the supervision monitor.
#pragma once

#include "ara/phm/phm_callback_client.h"

#include <atomic>

// Set by the signal handler; ends the signal listener.
extern std::atomic<bool> application_stop;
// Set by the signal handler and by the watchdog platform reset; ends the alive checkpoints.
extern std::atomic<bool> stopPhmAliveThread;
// Set by the configuration loader when an action list names "DTC".
extern std::atomic<bool> DTC_available;

// The one PHM callback client; callbacks are registered on it while the
// configuration is read, the callback thread runs it, the signal listener stops it.
extern ara::phm::PhmCallbackClient phmCallbackClient;

inline constexpr char applicationName[] = "Wardex";
inline constexpr char applicationVersion[] = "1.4.1";
