#include "platform/hive_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "support/text.h"

namespace vornel::platform::hive {

namespace {
// hivex refuses to list more subkeys or values per key than this (the limits of older
// releases; newer ones allow more, so these are the safe bounds).
constexpr uint32_t kHivexMaxSubKeys = 15000;
constexpr uint32_t kHivexMaxValues = 10000;

bool Sig(std::string_view b, size_t at, const char* two) { return b[at] == two[0] && b[at + 1] == two[1]; }
}  // namespace

uint16_t Get16(std::string_view b, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(b[at]) | static_cast<unsigned char>(b[at + 1]) << 8);
}

uint32_t Get32(std::string_view b, size_t at) {
    return static_cast<uint32_t>(Get16(b, at)) | static_cast<uint32_t>(Get16(b, at + 2)) << 16;
}

void Put16(std::string& b, size_t at, uint16_t v) {
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>(v >> 8);
}

void Put32(std::string& b, size_t at, uint32_t v) {
    Put16(b, at, static_cast<uint16_t>(v & 0xFFFF));
    Put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

void Put64(std::string& b, size_t at, uint64_t v) {
    Put32(b, at, static_cast<uint32_t>(v & 0xFFFFFFFF));
    Put32(b, at + 4, static_cast<uint32_t>(v >> 32));
}

uint32_t BaseBlockChecksum(std::string_view block) {
    uint32_t sum = 0;
    for (size_t i = 0; i < base::kChecksum; i += 4) sum ^= Get32(block, i);
    if (sum == 0) return 1;
    if (sum == 0xFFFFFFFF) return 0xFFFFFFFE;
    return sum;
}

std::string NameToUtf8(const StoredName& n) {
    if (!n.latin1) return text::Utf16LeToUtf8(n.bytes);
    if (std::all_of(n.bytes.begin(), n.bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return std::string(n.bytes);
    std::string out;
    out.reserve(n.bytes.size());
    for (unsigned char c : n.bytes) text::AppendUtf8(out, c);
    return out;
}

uint64_t Image::Timestamp() const {
    return Get32(b_, base::kTimestamp) | static_cast<uint64_t>(Get32(b_, base::kTimestamp + 4)) << 32;
}

size_t Image::Payload(uint32_t cell) const { return size_t{kBaseBlockSize} + cell + 4; }

size_t Image::PayloadSize(uint32_t cell) const {
    return static_cast<size_t>(-static_cast<int64_t>(static_cast<int32_t>(Get32(b_, kBaseBlockSize + size_t{cell})))) - 4;
}

bool Image::IsUsedCell(uint32_t cell) const {
    if (cell >= dataSize_ || cell % 8) return false;
    return (usedCells_[cell / 8 / 64] >> (cell / 8 % 64)) & 1;
}

bool Image::Fail(std::string* problem, const char* what, uint32_t cell) const {
    if (problem) {
        char buf[200];
        std::snprintf(buf, sizeof buf, "corrupt hive: %s (at file offset 0x%llx)", what,
                      static_cast<unsigned long long>(kBaseBlockSize) + cell);
        *problem = buf;
    }
    return false;
}

bool Image::Check(std::string_view bytes, std::string* problem) {
    b_ = bytes;
    keys_ = 0;
    longLists_.clear();
    auto fail = [&](std::string why) {
        if (problem) *problem = std::move(why);
        return false;
    };
    if (b_.empty()) return fail("empty file, not a registry hive");
    if (b_.size() < 4 || b_.substr(0, 4) != "regf") return fail("not a registry hive file (no \"regf\" signature)");
    if (b_.size() < kBaseBlockSize)
        return fail("truncated hive: the file ends inside its 4096-byte header (" + std::to_string(b_.size()) +
                    " bytes)");
    const uint32_t stored = Get32(b_, base::kChecksum);
    uint32_t plain = 0;
    for (size_t i = 0; i < base::kChecksum; i += 4) plain ^= Get32(b_, i);
    if (stored != plain && stored != BaseBlockChecksum(b_))
        return fail("corrupt hive: the header checksum is wrong (the header was damaged or not written completely)");
    const uint32_t type = Get32(b_, base::kType);
    if (type == 1 || type == 2 || type == 6) return fail("this is a registry transaction log, not a hive");
    if (type != 0) return fail("not a registry hive file (file type " + std::to_string(type) + ")");
    if (Get32(b_, base::kMajor) != 1)
        return fail("unsupported hive format version " + std::to_string(Get32(b_, base::kMajor)) + "." +
                    std::to_string(Get32(b_, base::kMinor)));
    dataSize_ = Get32(b_, base::kDataSize);
    if (dataSize_ == 0 || dataSize_ % 4096)
        return fail("corrupt hive: invalid hive bins size " + std::to_string(dataSize_) + " in the header");
    if (b_.size() - kBaseBlockSize < dataSize_)
        return fail("truncated hive: the header promises " + std::to_string(uint64_t{kBaseBlockSize} + dataSize_) +
                    " bytes, the file has " + std::to_string(b_.size()));
    if (!CheckBins(problem)) return false;

    root_ = Get32(b_, base::kRoot);
    if (!IsUsedCell(root_) || PayloadSize(root_) < 2 || !Sig(b_, Payload(root_), "nk"))
        return Fail(problem, "the root key is not a key cell", root_);

    // Every key once, without recursion: a crafted file cannot exhaust the stack.
    std::vector<uint64_t> seen(usedCells_.size(), 0);
    auto mark = [&](uint32_t c) {
        uint64_t& w = seen[c / 8 / 64];
        const uint64_t bit = uint64_t{1} << (c / 8 % 64);
        const bool was = w & bit;
        w |= bit;
        return !was;
    };
    std::vector<std::pair<uint32_t, uint32_t>> stack{{root_, 1}};  // key cell, depth
    mark(root_);
    std::vector<uint32_t> kids;
    while (!stack.empty()) {
        const auto [cell, depth] = stack.back();
        stack.pop_back();
        ++keys_;
        if (!CheckKey(cell, problem)) return false;
        const size_t p = Payload(cell);
        const uint32_t count = Get32(b_, p + nk::kSubKeys);
        if (count > kHivexMaxSubKeys || Get32(b_, p + nk::kValues) > kHivexMaxValues) longLists_.push_back(cell);
        if (count == 0) continue;
        if (depth >= kMaxDepth) return Fail(problem, "keys are nested deeper than the registry allows", cell);
        if (!ReadIndex(cell, Get32(b_, p + nk::kSubKeyList), count, kids, problem)) return false;
        for (uint32_t kid : kids) {
            if (!IsUsedCell(kid) || PayloadSize(kid) < 2 || !Sig(b_, Payload(kid), "nk"))
                return Fail(problem, "a subkey entry does not point to a key", kid);
            if (!mark(kid)) return Fail(problem, "a key is listed twice (a loop in the key tree)", kid);
            stack.emplace_back(kid, depth + 1);
        }
    }
    return true;
}

bool Image::CheckBins(std::string* problem) {
    usedCells_.assign(dataSize_ / 8 / 64 + 1, 0);
    uint32_t bin = 0;
    while (bin < dataSize_) {
        const size_t at = kBaseBlockSize + size_t{bin};
        if (b_.substr(at, 4) != "hbin") return Fail(problem, "a hive bin has no \"hbin\" signature", bin);
        if (Get32(b_, at + 4) != bin) return Fail(problem, "a hive bin records a wrong offset", bin);
        const uint32_t size = Get32(b_, at + 8);
        if (size < 4096 || size % 4096 || size > dataSize_ - bin)
            return Fail(problem, "a hive bin has an invalid size", bin);
        for (uint32_t cell = bin + kBinHeaderSize; cell < bin + size;) {
            const int32_t raw = static_cast<int32_t>(Get32(b_, kBaseBlockSize + size_t{cell}));
            const int64_t len = raw < 0 ? -int64_t{raw} : int64_t{raw};
            if (len < 8 || len % 8 || len > int64_t{bin} + size - cell)
                return Fail(problem, "a cell has an invalid size", cell);
            if (raw < 0) usedCells_[cell / 8 / 64] |= uint64_t{1} << (cell / 8 % 64);
            cell += static_cast<uint32_t>(len);
        }
        bin += size;
    }
    return true;
}

bool Image::CheckKey(uint32_t cell, std::string* problem) {
    const size_t p = Payload(cell);
    const size_t size = PayloadSize(cell);
    if (size < nk::kName || nk::kName + size_t{Get16(b_, p + nk::kNameLen)} > size)
        return Fail(problem, "a key record is too short for its name", cell);
    const uint32_t count = Get32(b_, p + nk::kValues);
    if (count == 0) return true;
    const uint32_t list = Get32(b_, p + nk::kValueList);
    if (!IsUsedCell(list) || PayloadSize(list) / 4 < count)
        return Fail(problem, "a key's value list is missing or too short", list);
    for (uint32_t i = 0; i < count; ++i)
        if (!CheckValue(Get32(b_, Payload(list) + 4 * size_t{i}), problem)) return false;
    return true;
}

bool Image::ReadIndex(uint32_t nkCell, uint32_t list, uint32_t expected, std::vector<uint32_t>& out,
                      std::string* problem) const {
    out.clear();
    // lf/lh entries are 8 bytes (offset, hash), li and ri entries 4; ri lists point to leaves.
    auto leaf = [&](uint32_t c, bool allowRoot, auto& self) -> bool {
        if (!IsUsedCell(c) || PayloadSize(c) < 4) return Fail(problem, "a subkey list is not a valid cell", c);
        const size_t p = Payload(c);
        const size_t n = Get16(b_, p + 2);
        const bool fast = Sig(b_, p, "lf") || Sig(b_, p, "lh");
        const bool root = Sig(b_, p, "ri");
        if (!fast && !root && !Sig(b_, p, "li")) return Fail(problem, "a subkey list has an unknown type", c);
        if (root && !allowRoot) return Fail(problem, "a subkey index root points to another index root", c);
        const size_t step = fast ? 8 : 4;
        if (4 + n * step > PayloadSize(c)) return Fail(problem, "a subkey list is longer than its cell", c);
        for (size_t i = 0; i < n; ++i) {
            const uint32_t entry = Get32(b_, p + 4 + i * step);
            if (root) {
                if (!self(entry, false, self)) return false;
            } else {
                if (out.size() == expected)
                    return Fail(problem, "a key has more subkeys listed than it counts", nkCell);
                out.push_back(entry);
            }
        }
        return true;
    };
    if (!leaf(list, true, leaf)) return false;
    if (out.size() != expected) return Fail(problem, "a key has fewer subkeys listed than it counts", nkCell);
    return true;
}

bool Image::CheckValue(uint32_t cell, std::string* problem) {
    if (!IsUsedCell(cell) || PayloadSize(cell) < vk::kName || !Sig(b_, Payload(cell), "vk"))
        return Fail(problem, "a value list entry does not point to a value", cell);
    const size_t p = Payload(cell);
    if (vk::kName + size_t{Get16(b_, p + vk::kNameLen)} > PayloadSize(cell))
        return Fail(problem, "a value record is too short for its name", cell);
    const uint32_t raw = Get32(b_, p + vk::kDataLen);
    const uint32_t len = raw & ~vk::kInline;
    if (raw & vk::kInline) {
        if (len > 4) return Fail(problem, "a value claims more than 4 bytes of data in its record", cell);
        return true;
    }
    if (len == 0) return true;
    const uint32_t data = Get32(b_, p + vk::kData);
    if (!IsUsedCell(data)) return Fail(problem, "a value's data is not a valid cell", data);
    if (len <= PayloadSize(data)) return true;
    return CheckBigData(data, len, problem);
}

bool Image::CheckBigData(uint32_t dataCell, uint32_t len, std::string* problem) {
    const size_t p = Payload(dataCell);
    if (PayloadSize(dataCell) < 8 || !Sig(b_, p, "db"))
        return Fail(problem, "a value's data is longer than its cell", dataCell);
    const size_t segments = Get16(b_, p + 2);
    const uint32_t list = Get32(b_, p + 4);
    if (!IsUsedCell(list) || PayloadSize(list) / 4 < segments)
        return Fail(problem, "a big value's segment list is missing or too short", list);
    // The registry takes kBigDataChunk bytes from each segment, whatever the segment's cell size.
    size_t left = len;
    for (size_t i = 0; i < segments; ++i) {
        const uint32_t seg = Get32(b_, Payload(list) + 4 * i);
        if (!IsUsedCell(seg)) return Fail(problem, "a big value's segment is not a valid cell", seg);
        if (left == 0) continue;  // every listed segment must still be a cell
        const size_t take = left < kBigDataChunk ? left : kBigDataChunk;
        if (PayloadSize(seg) < take) return Fail(problem, "a big value's segment is too short", seg);
        left -= take;
    }
    if (left > 0) return Fail(problem, "a big value has fewer segments than its length needs", dataCell);
    return true;
}

StoredName Image::KeyName(uint32_t nkCell) const {
    const size_t p = Payload(nkCell);
    return {b_.substr(p + nk::kName, Get16(b_, p + nk::kNameLen)), (Get16(b_, p + nk::kFlags) & nk::kCompressedName) != 0};
}

uint64_t Image::KeyTimestamp(uint32_t nkCell) const {
    const size_t p = Payload(nkCell);
    return Get32(b_, p + nk::kTimestamp) | static_cast<uint64_t>(Get32(b_, p + nk::kTimestamp + 4)) << 32;
}

void Image::SubKeys(uint32_t nkCell, std::vector<uint32_t>& out) const {
    const size_t p = Payload(nkCell);
    const uint32_t count = Get32(b_, p + nk::kSubKeys);
    if (count == 0) {
        out.clear();
        return;
    }
    ReadIndex(nkCell, Get32(b_, p + nk::kSubKeyList), count, out, nullptr);
}

void Image::ValueCells(uint32_t nkCell, std::vector<uint32_t>& out) const {
    out.clear();
    const size_t p = Payload(nkCell);
    const uint32_t count = Get32(b_, p + nk::kValues);
    if (count == 0) return;
    const size_t list = Payload(Get32(b_, p + nk::kValueList));
    for (uint32_t i = 0; i < count; ++i) out.push_back(Get32(b_, list + 4 * size_t{i}));
}

StoredName Image::ValueName(uint32_t vkCell) const {
    const size_t p = Payload(vkCell);
    return {b_.substr(p + vk::kName, Get16(b_, p + vk::kNameLen)), (Get16(b_, p + vk::kFlags) & vk::kCompressedName) != 0};
}

uint32_t Image::ValueType(uint32_t vkCell) const { return Get32(b_, Payload(vkCell) + vk::kType); }

std::string Image::ValueData(uint32_t vkCell) const {
    std::string out;
    ValueData(vkCell, out);
    return out;
}

void Image::ValueData(uint32_t vkCell, std::string& out) const {
    const size_t p = Payload(vkCell);
    const uint32_t raw = Get32(b_, p + vk::kDataLen);
    const uint32_t len = raw & ~vk::kInline;
    out.clear();
    if (raw & vk::kInline) {
        out.assign(b_.substr(p + vk::kData, len));
        return;
    }
    if (len == 0) return;
    const uint32_t data = Get32(b_, p + vk::kData);
    if (len <= PayloadSize(data)) {
        out.assign(b_.substr(Payload(data), len));
        return;
    }
    const size_t db = Payload(data);
    const size_t list = Payload(Get32(b_, db + 4));
    out.reserve(len);
    for (size_t i = 0; out.size() < len; ++i) {
        const size_t take = len - out.size() < kBigDataChunk ? len - out.size() : kBigDataChunk;
        out.append(b_.substr(Payload(Get32(b_, list + 4 * i)), take));
    }
}

}  // namespace vornel::platform::hive
