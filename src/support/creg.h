#pragma once
// cReg: the single accessor through which the program reads and writes the registry.
// Every operation opens the key it needs, works and closes it again; answers for missing
// keys and values, the no-data flags and the status codes are the registry's own, since
// callers branch on them.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "platform/registry_view.h"

namespace vornel {

// Root handles.
namespace hkey {
constexpr uint32_t kClassesRoot = 0x80000000u;
constexpr uint32_t kCurrentUser = 0x80000001u;
constexpr uint32_t kLocalMachine = 0x80000002u;
constexpr uint32_t kUsers = 0x80000003u;
constexpr uint32_t kCurrentConfig = 0x80000005u;
constexpr uint32_t kDynData = 0x80000006u;
}  // namespace hkey

// Access masks.
namespace regaccess {
constexpr uint32_t kRead = 0x20019;
constexpr uint32_t kWrite = 0x20006;
constexpr uint32_t kAll = 0x1E003F;
}  // namespace regaccess

// A value as read: empty, a 16-bit integer, a 32-bit integer, an 8-bit unsigned number,
// text, or bytes. Writing also takes true/false and double-precision numbers.
struct RegData {
    enum class Kind { kEmpty, kInt16, kInt32, kByte, kText, kBytes, kBool, kDouble };
    Kind kind = Kind::kEmpty;
    int64_t number = 0;
    double real = 0;
    std::string text;   // kText: UTF-8; kBytes: raw bytes
    bool IsEmpty() const { return kind == Kind::kEmpty; }

    static RegData Int16(int16_t v) { return {Kind::kInt16, v, 0, {}}; }
    static RegData Int32(int32_t v) { return {Kind::kInt32, v, 0, {}}; }
    static RegData Byte(uint8_t v) { return {Kind::kByte, v, 0, {}}; }
    static RegData Text(std::string s) { return {Kind::kText, 0, 0, std::move(s)}; }
    static RegData Bytes(std::string b) { return {Kind::kBytes, 0, 0, std::move(b)}; }
    static RegData Bool(bool b) { return {Kind::kBool, b ? 1 : 0, 0, {}}; }
    static RegData Double(double d) { return {Kind::kDouble, 0, d, {}}; }

    // The value as text, as the program's callers convert it: numbers in decimal, text as
    // it is, bytes taken as UTF-16LE characters.
    std::string ToText() const;
};

// Options of a read.
struct RegReadOptions {
    uint32_t access = regaccess::kRead;
    bool clean = false;            // no-data answers 0 (16-bit) instead of 232
    bool noExpandEnvStr = false;   // keep %NAME% references in REG_EXPAND_SZ
    bool binaryAsString = false;   // binary data as text
    bool firstElement = false;     // binary data: the first byte alone
};

// What a read reports besides its result.
struct RegReadInfo {
    bool bNoData = false;
    bool bValNoExist = false;
    uint32_t lDataType = 0;
};

class cReg {
public:
    explicit cReg(platform::RegistryView& view) : view_(view) {}

    platform::RegistryView& View() { return view_; }

    // Environment for REG_EXPAND_SZ expansion (names compared without regard to case):
    // the scanned installation's SystemRoot, windir, ProgramFiles ...
    void SetEnvironment(std::map<std::string, std::string> env);
    std::string ExpandEnvironment(std::string_view s) const;

    bool cP_IsSubKeys(uint32_t hive, std::string_view key);
    bool cP_IsRegKeyAlive(uint32_t hive, std::string_view key, bool bAccessDeniedCounts);
    std::string cP_EnumRegKeysOrValues(uint32_t hive, std::string_view key, bool bEnumKeys, bool bAddValue,
                                       bool bBinaryAsString, bool bValuesOnly);
    // Whether the value-name list cP_EnumRegKeysOrValues gives (no flags set) holds more
    // than its "|" separators, without making the list.
    bool HasValueNames(uint32_t hive, std::string_view key);
    RegData cP_GetRegValue(uint32_t hive, std::string_view key, std::string_view value, RegReadInfo& info,
                           const RegReadOptions& opt = {});
    // For many values of one key: the key opened for reading once (null when it cannot be),
    // then each value read as cP_GetRegValue reads it from hive + key.
    platform::RegistryView::KeyRef OpenForReading(uint32_t hive, std::string_view key);
    RegData cP_GetRegValue(const platform::RegistryView::KeyRef& key, uint32_t hive, std::string_view value,
                           RegReadInfo& info, const RegReadOptions& opt = {});
    // A subkey of a key OpenForReading gave for hive + key, opened for reading as
    // OpenForReading(hive, key + "\\" + sub) would open it, without the path's lookups.
    platform::RegistryView::KeyRef OpenSubKeyForReading(const platform::RegistryView::KeyRef& parent, uint32_t hive,
                                                        std::string_view key, std::string_view sub);
    // HasValueNames and GetText of an opened key (false and "" for null).
    bool HasValueNames(const platform::RegistryView::KeyRef& key);
    std::string GetText(const platform::RegistryView::KeyRef& key, uint32_t hive, std::string_view value);
    // False on success; true on failure with the status in lErrVal.
    bool cP_WriteRegValue(uint32_t hive, std::string_view key, std::string_view name, const RegData& data,
                          uint32_t access, bool bCreate, int32_t lDataType, long& lErrVal);
    long cP_DeleteRegValue(uint32_t hive, std::string_view key, std::string_view name);
    long cP_CreateRegNode(uint32_t hive, std::string_view key, uint64_t& hNewKey, bool& bExisted,
                          uint32_t access = regaccess::kAll);
    bool p_IsRegKeyExist(uint32_t hive, std::string_view key);

    // Convenience for readers that want text: the value as text, "" when missing or empty.
    std::string GetText(uint32_t hive, std::string_view key, std::string_view value);

    // The full view path of hive + key ("HKEY_LOCAL_MACHINE\SYSTEM\..."); "" for an
    // unknown hive.
    static std::string FullPath(uint32_t hive, std::string_view key);

    // Cleans a text value: trailing NULs cut, then cut at an inner NUL, blanks trimmed.
    static std::string CleanText(std::string s);

private:
    // Opens for the given access: status 0 with the key, 2 missing, 5 refused.
    long OpenKey(uint32_t hive, std::string_view key, uint32_t access, platform::RegistryView::KeyRef& out) const;
    RegData ReadValue(const platform::RegistryView::Key& key, uint32_t hive, std::string_view value, RegReadInfo& info,
                      const RegReadOptions& opt);
    platform::RegistryView& view_;
    mutable std::string path_;  // scratch for the full path of OpenKey
    platform::RegValue value_;  // scratch for cP_GetRegValue: its data keeps its capacity
    std::vector<std::string> names_;  // scratch for cP_EnumRegKeysOrValues
    std::map<std::string, std::string> env_;  // upper-cased names
};

}  // namespace vornel
