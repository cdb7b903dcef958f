#include "support/creg.h"

#include <algorithm>

#include "support/text.h"
#include "support/vlx_error.h"

namespace vornel {

using platform::RegValue;
namespace rs = platform::regstatus;

namespace {
constexpr const char* kModule = "cReg";

bool IsWriteAccess(uint32_t access) { return (access & 0x00000006u) != 0; }  // KEY_SET_VALUE | KEY_CREATE_SUB_KEY

const char* HiveName(uint32_t hive) {
    switch (hive) {
        case hkey::kClassesRoot: return "HKEY_CLASSES_ROOT";
        case hkey::kCurrentUser: return "HKEY_CURRENT_USER";
        case hkey::kLocalMachine: return "HKEY_LOCAL_MACHINE";
        case hkey::kUsers: return "HKEY_USERS";
        case hkey::kCurrentConfig: return "HKEY_CURRENT_CONFIG";
        case hkey::kDynData: return "HKEY_DYN_DATA";
        default: return nullptr;
    }
}

int32_t LittleEndian32(std::string_view b) {
    uint32_t v = 0;
    for (size_t i = 0; i < 4 && i < b.size(); ++i) v |= static_cast<uint32_t>(static_cast<unsigned char>(b[i])) << (8 * i);
    return static_cast<int32_t>(v);
}

bool IsStringType(uint32_t t) {
    return t == platform::kRegSz || t == platform::kRegExpandSz || t == platform::kRegMultiSz;
}

// Registry text (UTF-16LE) as UTF-8, without its final terminator.
std::string TextOf(const RegValue& v) {
    std::string_view d = v.data;
    if (d.size() % 2) d.remove_suffix(1);
    if (d.size() >= 2 && d[d.size() - 1] == '\0' && d[d.size() - 2] == '\0') d.remove_suffix(2);
    return text::Utf16LeToUtf8(d);
}
}  // namespace

std::string RegData::ToText() const {
    switch (kind) {
        case Kind::kEmpty: return {};
        case Kind::kInt16:
        case Kind::kInt32:
        case Kind::kByte: return std::to_string(number);
        case Kind::kBool: return number ? "True" : "False";
        case Kind::kDouble: {
            std::string s = std::to_string(real);
            while (s.find('.') != std::string::npos && (s.back() == '0' || s.back() == '.')) {
                const bool dot = s.back() == '.';
                s.pop_back();
                if (dot) break;
            }
            return s;
        }
        case Kind::kText: return text;
        case Kind::kBytes: return text::Utf16LeToUtf8(text);
    }
    return {};
}

std::string cReg::FullPath(uint32_t hive, std::string_view key) {
    const char* root = HiveName(hive);
    if (!root) return {};
    std::string p = root;
    const std::string k = text::TrimChars(key, "\\");
    if (!k.empty()) p += "\\" + k;
    return p;
}

namespace {
// CleanText without a copy: cutting trailing NULs and then at the first one is cutting at
// the first.
std::string_view CleanView(std::string_view s) { return text::TrimmedView(s.substr(0, s.find('\0')), " "); }
}  // namespace

std::string cReg::CleanText(std::string s) { return std::string(CleanView(s)); }

void cReg::SetEnvironment(std::map<std::string, std::string> env) {
    env_.clear();
    for (auto& [k, v] : env) env_[text::UpperAscii(k)] = std::move(v);
}

std::string cReg::ExpandEnvironment(std::string_view s) const {
    // As ExpandEnvironmentStrings: %NAME% with a known NAME is replaced, others stay.
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        const size_t open = s.find('%', i);
        if (open == std::string_view::npos) break;
        const size_t close = s.find('%', open + 1);
        if (close == std::string_view::npos) break;
        out.append(s.substr(i, open - i));
        auto it = env_.find(text::UpperAscii(s.substr(open + 1, close - open - 1)));
        if (close > open + 1 && it != env_.end()) {
            out += it->second;
            i = close + 1;
        } else {
            out += '%';
            i = open + 1;
        }
    }
    out.append(s.substr(i));
    return out;
}

namespace {
// A key path without the backslashes at its ends.
std::string_view TrimSeparators(std::string_view key) {
    const size_t b = key.find_first_not_of('\\');
    return b == std::string_view::npos ? std::string_view() : key.substr(b, key.find_last_not_of('\\') - b + 1);
}

// A read's value as text, "" when it is missing or empty.
std::string TextOf(const RegData& d, const RegReadInfo& info) {
    return info.bNoData || info.bValNoExist ? std::string() : d.ToText();
}
}  // namespace

long cReg::OpenKey(uint32_t hive, std::string_view key, uint32_t access, platform::RegistryView::KeyRef& out) const {
    // FullPath, without a new string for each of the many values a scan reads.
    const char* root = HiveName(hive);
    if (!root) return 6;  // invalid handle
    key = TrimSeparators(key);
    std::string& full = path_;
    full.assign(root);
    if (!key.empty()) full.append(1, '\\').append(key);
    out = view_.OpenShared(full);
    if (!out->Exists()) return rs::kNotFound;
    if (IsWriteAccess(access) && !view_.CanWrite(full)) return rs::kAccessDenied;
    return rs::kSuccess;
}

bool cReg::p_IsRegKeyExist(uint32_t hive, std::string_view key) {
    platform::RegistryView::KeyRef k;
    return OpenKey(hive, key, regaccess::kRead, k) == rs::kSuccess;
}

bool cReg::cP_IsRegKeyAlive(uint32_t hive, std::string_view key, bool bAccessDeniedCounts) {
    platform::RegistryView::KeyRef k;
    const long st = OpenKey(hive, key, regaccess::kRead, k);
    return st == rs::kSuccess || (bAccessDeniedCounts && st == rs::kAccessDenied);
}

bool cReg::cP_IsSubKeys(uint32_t hive, std::string_view key) {
    return Guarded(kModule, "cP_IsSubKeys", false, [&] {
        platform::RegistryView::KeyRef k;
        if (OpenKey(hive, key, regaccess::kRead, k) != rs::kSuccess) return false;
        std::vector<std::string> names;
        view_.SubKeyNames(*k, names);
        return !names.empty();
    });
}

RegData cReg::cP_GetRegValue(uint32_t hive, std::string_view key, std::string_view value, RegReadInfo& info,
                             const RegReadOptions& opt) {
    try {
        platform::RegistryView::KeyRef k;
        if (OpenKey(hive, key, opt.access, k) != rs::kSuccess) {
            info = {true, true, 0};
            return {};
        }
        return ReadValue(*k, hive, value, info, opt);
    } catch (...) {
        ReportError(kModule, "cP_GetRegValue");
    }
    return {};
}

platform::RegistryView::KeyRef cReg::OpenForReading(uint32_t hive, std::string_view key) {
    try {
        platform::RegistryView::KeyRef k;
        if (OpenKey(hive, key, regaccess::kRead, k) == rs::kSuccess) return k;
    } catch (...) {
        ReportError(kModule, "cP_GetRegValue");
    }
    return nullptr;
}

RegData cReg::cP_GetRegValue(const platform::RegistryView::KeyRef& key, uint32_t hive, std::string_view value,
                             RegReadInfo& info, const RegReadOptions& opt) {
    if (!key) {
        info = {true, true, 0};
        return {};
    }
    try {
        return ReadValue(*key, hive, value, info, opt);
    } catch (...) {
        ReportError(kModule, "cP_GetRegValue");
    }
    return {};
}

platform::RegistryView::KeyRef cReg::OpenSubKeyForReading(const platform::RegistryView::KeyRef& parent,
                                                          uint32_t hive, std::string_view key, std::string_view sub) {
    try {
        if (!parent) return nullptr;
        sub = TrimSeparators(sub);
        if (sub.empty()) return parent;
        if (!parent->subKeysByStep) {
            std::string full(key);
            full.append(1, '\\').append(sub);
            return OpenForReading(hive, full);
        }
        platform::RegistryView::KeyRef k = view_.OpenSubKey(parent, sub);
        return k->Exists() ? k : nullptr;
    } catch (...) {
        ReportError(kModule, "cP_GetRegValue");
    }
    return nullptr;
}

RegData cReg::ReadValue(const platform::RegistryView::Key& k, uint32_t hive, std::string_view value,
                        RegReadInfo& info, const RegReadOptions& opt) {
    RegData result;
    {
        RegValue& v = value_;
        v.name.clear();
        v.type = platform::kRegNone;
        v.data.clear();
        const bool found = view_.FindValue(k, value, v);
        // Size as the registry's ANSI interface reports it: text in characters.
        size_t size = v.data.size();
        if (found && IsStringType(v.type)) size = v.data.size() / 2;
        if (hive == hkey::kDynData && size == 0) size = 256;
        // The size probe uses a one-byte buffer: larger data answers "more data".
        const long status = !found ? rs::kNotFound : (size <= 1 ? rs::kSuccess : rs::kMoreData);

        if (found && v.type == platform::kRegMultiSz && status == rs::kMoreData && size == 2) {
            info = {true, false, v.type};
            return result;
        }
        // A text value of size 0 holds even less than a terminator: no data as well.
        const bool onlyTerminator =
            found && (v.type == platform::kRegNone || IsStringType(v.type)) && size <= 1;
        if (status == rs::kNotFound || onlyTerminator) {
            if (status == rs::kNotFound) {
                info = {true, true, 0};
            } else {
                info.lDataType = v.type;
                info.bValNoExist = false;
                info.bNoData = true;
            }
            return opt.clean ? RegData::Int16(0) : RegData::Int32(static_cast<int32_t>(rs::kNoData));
        }

        switch (v.type) {
            case platform::kRegSz:
                result = RegData::Text(TextOf(v));
                break;
            case platform::kRegMultiSz: {
                std::string t = TextOf(v);
                while (!t.empty() && t.back() == '\0') t.pop_back();
                result = RegData::Text(std::move(t));
                break;
            }
            case platform::kRegExpandSz: {
                std::string t = TextOf(v);
                if (!opt.noExpandEnvStr) t = CleanText(ExpandEnvironment(t));
                result = RegData::Text(std::move(t));
                break;
            }
            case platform::kRegDword:
                result = RegData::Int32(LittleEndian32(v.data));
                break;
            case platform::kRegDwordBigEndian: {
                std::string b = v.data.substr(0, 4);
                result = RegData::Int32(LittleEndian32(std::string(b.rbegin(), b.rend())));
                break;
            }
            default:
                if (v.data.empty()) {
                    result = RegData::Int32(static_cast<int32_t>(rs::kNoData));
                } else if (opt.firstElement) {
                    result = RegData::Byte(static_cast<uint8_t>(v.data[0]));
                } else if (opt.binaryAsString) {
                    // Bytes as characters, or two bytes a character when the second is NUL.
                    const bool wide = v.data.size() >= 2 && v.data[1] == '\0';
                    result = RegData::Text(CleanText(wide ? text::Utf16LeToUtf8(v.data) : text::Cp1252ToUtf8(v.data)));
                } else {
                    result = RegData::Bytes(v.data);
                }
        }
        if (hive == hkey::kDynData && result.kind == RegData::Kind::kText)
            if (const size_t nul = result.text.find('\0'); nul != std::string::npos) result.text.erase(nul);
        info.bNoData = false;
        info.bValNoExist = false;
        info.lDataType = v.type;
    }
    return result;
}

std::string cReg::GetText(uint32_t hive, std::string_view key, std::string_view value) {
    RegReadInfo info;
    const RegData d = cP_GetRegValue(hive, key, value, info);
    return TextOf(d, info);
}

std::string cReg::GetText(const platform::RegistryView::KeyRef& key, uint32_t hive, std::string_view value) {
    RegReadInfo info;
    const RegData d = cP_GetRegValue(key, hive, value, info);
    return TextOf(d, info);
}

std::string cReg::cP_EnumRegKeysOrValues(uint32_t hive, std::string_view key, bool bEnumKeys, bool bAddValue,
                                         bool bBinaryAsString, bool bValuesOnly) {
    std::string result;
    try {
        platform::RegistryView::KeyRef k;
        if (OpenKey(hive, key, regaccess::kRead, k) != rs::kSuccess) return {};
        auto add = [&](std::string_view item) {
            if (!result.empty() && result.back() != '|') result += '|';
            result += item;
        };
        if (bEnumKeys) {
            view_.SubKeyNames(*k, names_);
            for (const auto& n : names_) add(CleanView(n));
        } else if (!bAddValue && !bValuesOnly) {
            view_.ValueNames(*k, names_);
            for (const auto& n : names_) add(n);
        } else {
            std::vector<RegValue> values;
            view_.Values(*k, values);
            RegReadOptions opt;
            opt.clean = true;
            opt.binaryAsString = bBinaryAsString;
            for (const auto& v : values) {
                if (bAddValue && v.name.empty()) continue;
                std::string valueText;
                if (bAddValue || bValuesOnly) {
                    RegReadInfo info;
                    valueText = cP_GetRegValue(hive, key, v.name, info, opt).ToText();
                    if (v.type != platform::kRegMultiSz) valueText = CleanText(valueText);
                }
                if (bAddValue) add(valueText.empty() ? v.name : v.name + "=" + valueText);
                else if (bValuesOnly) add(valueText);
                else add(v.name);
            }
        }
    } catch (...) {
        ReportError(kModule, "cP_EnumRegKeysOrValues");
    }
    while (!result.empty() && result.back() == '|') result.pop_back();
    return result;
}

bool cReg::HasValueNames(uint32_t hive, std::string_view key) {
    try {
        platform::RegistryView::KeyRef k;
        if (OpenKey(hive, key, regaccess::kRead, k) != rs::kSuccess) return false;
        return HasValueNames(k);
    } catch (...) {
        ReportError(kModule, "cP_EnumRegKeysOrValues");  // logged as the enumeration it stands for
    }
    return false;
}

bool cReg::HasValueNames(const platform::RegistryView::KeyRef& key) {
    try {
        if (!key) return false;
        view_.ValueNames(*key, names_);
        return std::any_of(names_.begin(), names_.end(),
                           [](const std::string& n) { return n.find_first_not_of('|') != std::string::npos; });
    } catch (...) {
        ReportError(kModule, "cP_EnumRegKeysOrValues");
    }
    return false;
}

bool cReg::cP_WriteRegValue(uint32_t hive, std::string_view key, std::string_view name, const RegData& data,
                            uint32_t access, bool bCreate, int32_t lDataType, long& lErrVal) {
    lErrVal = 0;
    try {
        const std::string full = FullPath(hive, key);
        platform::RegistryView::KeyRef k;
        long st = OpenKey(hive, key, access, k);
        if (st == rs::kNotFound && bCreate) {
            bool existed = false;
            uint64_t handle = 0;
            st = cP_CreateRegNode(hive, key, handle, existed, regaccess::kAll);
        }
        if (st != rs::kSuccess) {
            lErrVal = st;
            return true;
        }
        auto textBytes = [](const std::string& s) { return text::Utf8ToUtf16Le(s) + std::string(2, '\0'); };
        auto dword = [](int64_t n) {
            std::string b(4, '\0');
            const auto u = static_cast<uint32_t>(n);
            for (int i = 0; i < 4; ++i) b[i] = static_cast<char>((u >> (8 * i)) & 0xFF);
            return b;
        };
        auto number = [&](const RegData& d) -> int64_t {
            if (d.kind == RegData::Kind::kBool) return d.number ? -1 : 0;
            if (d.kind == RegData::Kind::kDouble) return static_cast<int64_t>(d.real);
            if (d.kind == RegData::Kind::kText) return std::stoll(d.text);
            return d.number;
        };
        RegValue v;
        v.name = std::string(name);
        st = rs::kSuccess;
        if (lDataType <= 0) {
            switch (data.kind) {
                case RegData::Kind::kText: {
                    const size_t p1 = data.text.find('%');
                    const bool expand = p1 != std::string::npos && data.text.find('%', p1 + 2) != std::string::npos;
                    v.type = expand ? platform::kRegExpandSz : platform::kRegSz;
                    v.data = textBytes(data.text);
                    break;
                }
                case RegData::Kind::kEmpty:
                    v.type = platform::kRegSz;
                    v.data = textBytes({});
                    break;
                case RegData::Kind::kBytes:
                    v.type = platform::kRegBinary;
                    v.data = data.text;
                    break;
                case RegData::Kind::kBool:
                case RegData::Kind::kInt16:
                case RegData::Kind::kInt32:
                case RegData::Kind::kByte:
                case RegData::Kind::kDouble:
                    v.type = platform::kRegDword;
                    v.data = dword(number(data));
                    break;
            }
        } else if (lDataType == platform::kRegSz || lDataType == platform::kRegExpandSz) {
            v.type = static_cast<uint32_t>(lDataType);
            v.data = textBytes(data.ToText());
        } else if (lDataType == platform::kRegMultiSz) {
            std::string t = data.ToText();
            while (!t.empty() && t.back() == '\0') t.pop_back();
            v.type = platform::kRegMultiSz;
            v.data = text::Utf8ToUtf16Le(t) + std::string(4, '\0');  // list end: two terminators
        } else if (lDataType == platform::kRegBinary) {
            v.type = platform::kRegBinary;
            v.data = data.kind == RegData::Kind::kBytes ? data.text : data.ToText();
        } else if (lDataType == platform::kRegDword || lDataType == 11) {
            v.type = platform::kRegDword;
            v.data = dword(number(data));
        } else {
            st = rs::kInvalidData;
        }
        if (st == rs::kSuccess) st = view_.SetValue(full, v);
        lErrVal = st;
        return st != rs::kSuccess;
    } catch (...) {
        ReportError(kModule, "cp_CreateRegValue");
        if (!lErrVal) lErrVal = rs::kInvalidData;
        return true;
    }
}

long cReg::cP_DeleteRegValue(uint32_t hive, std::string_view key, std::string_view name) {
    if (key.empty()) return rs::kNoKeyPath;
    platform::RegistryView::KeyRef k;
    const long st = OpenKey(hive, key, regaccess::kWrite, k);
    if (st != rs::kSuccess) return st;
    return view_.DeleteValue(FullPath(hive, key), name);
}

long cReg::cP_CreateRegNode(uint32_t hive, std::string_view key, uint64_t& hNewKey, bool& bExisted, uint32_t access) {
    hNewKey = 0;
    bExisted = false;
    const std::string full = FullPath(hive, key);
    if (full.empty()) return 6;
    if (IsWriteAccess(access) && !view_.CanWrite(full)) return rs::kAccessDenied;
    const long st = view_.CreateKey(full, bExisted);
    if (st == rs::kSuccess) hNewKey = 1;  // keys are opened per operation; the handle is a token
    return st;
}

}  // namespace vornel
