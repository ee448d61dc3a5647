// BSignal: delivers termination requests (SIGINT, SIGTERM) to a handler on
// the reactor's thread. The signals must be blocked in every thread of the
// process before threads are started (platform::blockTerminationSignals).
#pragma once

#include "tunnel/base/reactor.h"

namespace vantor::tunnel {

bool BSignal_Init(BReactor* reactor, void (*handler)(void* user), void* user);
// Stops delivering; requests that arrive afterwards are left to others.
void BSignal_Finish();

}  // namespace vantor::tunnel
