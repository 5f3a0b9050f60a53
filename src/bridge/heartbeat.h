#pragma once

// The timer callback: at most one status report every 25 s to
// "/plugin/heartbeat".
//
//   {"map":"Quellmoor","playerCount":3,"pluginVersion":"0.1.0","serverVersion":"1.2"}
//
// OnHeartbeat tests the active flag and calls HeartbeatTick, its clock seam,
// with the steady clock's reading; tests call HeartbeatTick with chosen
// readings to hit the 25-second boundary exactly.

#include <cstdint>

namespace qb {

// Nanoseconds of the steady clock at the last due tick; 0: none yet. Zero with
// every fresh load of the library; only the heartbeat writes it.
extern std::int64_t lastHeartbeat;

// Sends a heartbeat when none was sent yet or when at least 25 s have passed
// since the last due tick. A tick that is not due allocates nothing and calls
// no host operation.
void HeartbeatTick(std::int64_t nowNs);

// The timer callback the plug-in registers. Does nothing while inactive.
void OnHeartbeat();

}  // namespace qb
