// The pong time-out rule of the heartbeat, as a pure function of the connection's ping
// times, so that it can be checked without a clock. The timers that apply it are the
// server's (lumWebSocket_Server_Base.h).
#pragma once

#include "connection/lumWebSocket_Classes.h"

namespace quillon::detail {

enum THeartBeatCheck { hbAnswered, hbWaiting, hbTimeout };

// aTimeout (T) and aInterval (I) in seconds; times compare in whole seconds, either order.
// Answered: the last pong came within T of the last ping (the first-ping mark is reset).
// Timeout: with I >= T, the last ping is T or more old; with T >= I, the first unanswered
// ping is T or more old. Otherwise still waiting.
THeartBeatCheck CheckHeartBeat(TwsTime aNow, TwsTime aLastPing, TwsTime aLastPong,
                               TwsTime aFirstPing, int aTimeout, int aInterval);

}  // namespace quillon::detail
