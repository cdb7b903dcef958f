#pragma once
// Bounds-checked reading of a hive file held in memory. Check() proves that every structure
// a reader follows from the root key (hive bins, cells, key nodes, subkey indexes, value
// lists, value data) lies inside the file and is well formed. hivex trusts several counts
// and offsets it reads, so a file goes to hivex only after it has passed this check.
//
// Offsets here are cell offsets as the format stores them: relative to the start of the
// hive bins, which begin after the 4096-byte base block.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vornel::platform::hive {

constexpr uint32_t kBaseBlockSize = 4096;
constexpr uint32_t kBinHeaderSize = 32;
constexpr uint32_t kNoCell = 0xFFFFFFFF;
// Value data per big-data segment; larger values are split over segments.
constexpr uint32_t kBigDataChunk = 16344;
// The registry refuses keys nested deeper than this.
constexpr uint32_t kMaxDepth = 512;

// Base block fields and key node / value record layouts (offsets inside the cell payload).
namespace base {
constexpr size_t kSeq1 = 4, kSeq2 = 8, kTimestamp = 12, kMajor = 20, kMinor = 24, kType = 28, kFormat = 32,
                 kRoot = 36, kDataSize = 40, kCluster = 44, kFileName = 48, kChecksum = 508;
}
namespace nk {
constexpr size_t kFlags = 2, kTimestamp = 4, kParent = 16, kSubKeys = 20, kVolatileSubKeys = 24, kSubKeyList = 28,
                 kVolatileSubKeyList = 32, kValues = 36, kValueList = 40, kSecurity = 44, kClass = 48,
                 kMaxNameLen = 52, kMaxClassLen = 56, kMaxValueNameLen = 60, kMaxValueDataLen = 64,
                 kNameLen = 72, kClassLen = 74, kName = 76;
constexpr uint16_t kHiveEntry = 0x0004, kNoDelete = 0x0008, kCompressedName = 0x0020;
}  // namespace nk
namespace vk {
constexpr size_t kNameLen = 2, kDataLen = 4, kData = 8, kType = 12, kFlags = 16, kName = 20;
constexpr uint32_t kInline = 0x80000000u;
constexpr uint16_t kCompressedName = 0x0001;
}  // namespace vk

uint16_t Get16(std::string_view b, size_t at);
uint32_t Get32(std::string_view b, size_t at);
void Put16(std::string& b, size_t at, uint16_t v);
void Put32(std::string& b, size_t at, uint32_t v);
void Put64(std::string& b, size_t at, uint64_t v);

// The checksum of a base block as the registry writes it: the XOR of its first 127 dwords,
// with 0 stored as 1 and ~0 stored as ~0 - 1.
uint32_t BaseBlockChecksum(std::string_view block);

// A key or value name as stored: Latin-1 ("compressed") or UTF-16LE bytes.
struct StoredName {
    std::string_view bytes;
    bool latin1 = true;
};
std::string NameToUtf8(const StoredName& n);

class Image {
public:
    // Checks `bytes` (kept by reference; they must outlive the image). False with a
    // one-line reason that does not name the file.
    bool Check(std::string_view bytes, std::string* problem);

    // Only after a successful Check, and only for cells it reached.
    uint32_t RootCell() const { return root_; }
    uint32_t Sequence1() const { return Get32(b_, base::kSeq1); }
    uint32_t Sequence2() const { return Get32(b_, base::kSeq2); }
    uint64_t Timestamp() const;
    uint64_t KeyCount() const { return keys_; }

    StoredName KeyName(uint32_t nkCell) const;
    uint64_t KeyTimestamp(uint32_t nkCell) const;
    void SubKeys(uint32_t nkCell, std::vector<uint32_t>& out) const;  // in stored order
    void ValueCells(uint32_t nkCell, std::vector<uint32_t>& out) const;
    StoredName ValueName(uint32_t vkCell) const;
    uint32_t ValueType(uint32_t vkCell) const;
    std::string ValueData(uint32_t vkCell) const;
    // The same into `out`, whose room is reused.
    void ValueData(uint32_t vkCell, std::string& out) const;

    // Keys with more subkeys or values than hivex lists; read their lists with SubKeys and
    // ValueCells.
    const std::vector<uint32_t>& LongLists() const { return longLists_; }

private:
    size_t Payload(uint32_t cell) const;  // the cell's data, after its size field (file offset)
    size_t PayloadSize(uint32_t cell) const;
    bool IsUsedCell(uint32_t cell) const;
    bool Fail(std::string* problem, const char* what, uint32_t cell) const;
    bool CheckBins(std::string* problem);
    bool CheckKey(uint32_t cell, std::string* problem);
    bool ReadIndex(uint32_t nkCell, uint32_t list, uint32_t expected, std::vector<uint32_t>& out,
                   std::string* problem) const;
    bool CheckValue(uint32_t cell, std::string* problem);
    bool CheckBigData(uint32_t dataCell, uint32_t len, std::string* problem);

    std::string_view b_;
    uint32_t dataSize_ = 0;
    uint32_t root_ = 0;
    uint64_t keys_ = 0;
    std::vector<uint64_t> usedCells_;  // one bit per 8 bytes of hive bins: a used cell starts there
    std::vector<uint32_t> longLists_;
};

}  // namespace vornel::platform::hive
