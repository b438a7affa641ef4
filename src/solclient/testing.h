// Switches and counters of the in-process messaging library, for tests. The system never calls
// them.
#pragma once

#include "vendor/solClient.h"

extern "C" {

/// Makes the next solClient_msg_alloc of any thread fail, with errorText as the last-error text.
SOLCLIENT_API void solClientTest_failNextAlloc(const char* errorText);
/// Messages allocated and not yet freed.
SOLCLIENT_API int64_t solClientTest_liveMessages(void);
/// Container handles given to callers (created maps and streams, fetched attachment maps) and not
/// yet closed.
SOLCLIENT_API int64_t solClientTest_liveContainers(void);

}  // extern "C"
