// Sub-protocol and API objects are header-only; this unit keeps their vtables in one place.
#include "server/lumWebSocket_Protocol_Base_Server.h"
