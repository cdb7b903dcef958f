#include "support/last_error.h"

namespace vornel {
namespace {
thread_local uint32_t g_lastError = 0;
}
uint32_t GetLastErrorCode() { return g_lastError; }
void SetLastErrorCode(uint32_t code) { g_lastError = code; }
}  // namespace vornel
