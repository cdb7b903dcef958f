#pragma once
// The Windows-style last-error code of the calling thread. The stand-ins for Windows
// services record a code here when they fail, so that an error record can print it as
// "Err.LastDllError".
#include <cstdint>

namespace vornel {

uint32_t GetLastErrorCode();
void SetLastErrorCode(uint32_t code);

// Common codes the stand-ins record.
namespace win {
constexpr uint32_t kSuccess = 0;
constexpr uint32_t kFileNotFound = 2;
constexpr uint32_t kPathNotFound = 3;
constexpr uint32_t kAccessDenied = 5;
constexpr uint32_t kInvalidData = 13;
constexpr uint32_t kOutOfMemory = 14;
constexpr uint32_t kInvalidParameter = 87;
constexpr uint32_t kInsufficientBuffer = 122;
constexpr uint32_t kNoData = 232;
constexpr uint32_t kMoreData = 234;
constexpr uint32_t kNoMoreItems = 259;
constexpr uint32_t kBadFormat = 11;
constexpr uint32_t kRegistryCorrupt = 1015;
}  // namespace win

}  // namespace vornel
