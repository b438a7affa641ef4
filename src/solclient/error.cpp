#include <cstdarg>
#include <cstdio>

#include "solclient/internal.h"
#include "solclient/testing.h"

namespace solclient {

std::atomic<int64_t> liveMessages{0};
std::atomic<int64_t> liveContainers{0};
unsigned char emptyBytes[1] = {0};

namespace {

thread_local solClient_errorInfo lastError{};

// The allocation-failure switch. The setter writes the text, then arms the flag with release; the
// one alloc that disarms it reads the text after an acquire. Characters are atomics so that two
// setters racing (tests never do) only mix their texts instead of being undefined behaviour.
std::atomic<bool> allocFailArmed{false};
std::atomic<char> allocFailText[sizeof(solClient_errorInfo::errorStr)];

}  // namespace

solClient_returnCode_t fail(solClient_returnCode_t rc, const char* op, const char* fmt,
                            ...) noexcept {
    solClient_errorInfo& e = lastError;
    e.subCode = rc;
    e.responseCode = 0;
    constexpr size_t cap = sizeof e.errorStr;
    int n = std::snprintf(e.errorStr, cap, "%s: ", op);
    if (n > 0 && static_cast<size_t>(n) < cap) {
        va_list ap;
        va_start(ap, fmt);
        std::vsnprintf(e.errorStr + n, cap - static_cast<size_t>(n), fmt, ap);
        va_end(ap);
    }
    return rc;
}

bool takeAllocFailure() noexcept {
    if (!allocFailArmed.load(std::memory_order_relaxed) ||
        !allocFailArmed.exchange(false, std::memory_order_acq_rel))
        return false;
    solClient_errorInfo& e = lastError;
    e.subCode = SOLCLIENT_FAIL;
    e.responseCode = 0;
    for (size_t i = 0; i < sizeof e.errorStr; ++i)
        e.errorStr[i] = allocFailText[i].load(std::memory_order_relaxed);
    return true;
}

}  // namespace solclient

using namespace solclient;

extern "C" {

SOLCLIENT_API solClient_errorInfo_pt solClient_getLastErrorInfo(void) { return &lastError; }

SOLCLIENT_API void solClientTest_failNextAlloc(const char* errorText) {
    const char* text = errorText != nullptr ? errorText : "solClient_msg_alloc: allocation failure";
    constexpr size_t cap = sizeof(solClient_errorInfo::errorStr);
    size_t i = 0;
    for (; i + 1 < cap && text[i] != '\0'; ++i)
        allocFailText[i].store(text[i], std::memory_order_relaxed);
    allocFailText[i].store('\0', std::memory_order_relaxed);
    allocFailArmed.store(true, std::memory_order_release);
}

SOLCLIENT_API int64_t solClientTest_liveMessages(void) {
    return liveMessages.load(std::memory_order_relaxed);
}

SOLCLIENT_API int64_t solClientTest_liveContainers(void) {
    return liveContainers.load(std::memory_order_relaxed);
}

}  // extern "C"
