#include "platform/reg_file_store.h"

#include <algorithm>
#include <map>

#include "platform/atomic_file.h"
#include "support/text.h"

namespace vornel::platform {

namespace fs = std::filesystem;
using text::UpperAscii;

struct RegFileStore::Node {
    std::string name;  // first spelling
    Node* parent = nullptr;
    std::map<std::string, std::unique_ptr<Node>> children;  // by upper-cased name: registry order
    std::vector<RegValue> values;                          // first-written order

    RegValue* FindValue(std::string_view n) {
        for (auto& v : values)
            if (text::IEquals(v.name, n)) return &v;
        return nullptr;
    }
};

RegFileStore::RegFileStore() : root_(std::make_unique<Node>()) {}
RegFileStore::~RegFileStore() = default;

KeyId RegFileStore::Root() const { return reinterpret_cast<KeyId>(root_.get()); }

KeyId RegFileStore::Child(KeyId parent, std::string_view name) const {
    if (!parent) return 0;
    const Node* n = NodeOf(parent);
    auto it = n->children.find(UpperAscii(name));
    return it == n->children.end() ? 0 : reinterpret_cast<KeyId>(it->second.get());
}

void RegFileStore::SubKeyNames(KeyId key, std::vector<std::string>& out) const {
    out.clear();
    if (!key) return;
    for (const auto& [upper, child] : NodeOf(key)->children) out.push_back(child->name);
}

void RegFileStore::Values(KeyId key, std::vector<RegValue>& out) const {
    out.clear();
    if (key) out = NodeOf(key)->values;
}

bool RegFileStore::FindValue(KeyId key, std::string_view name, RegValue& out) const {
    if (!key) return false;
    const RegValue* v = NodeOf(key)->FindValue(name);
    if (!v) return false;
    out = *v;
    return true;
}

long RegFileStore::CreateChild(KeyId parent, std::string_view name, KeyId& out, bool& existed) {
    out = 0;
    existed = false;
    if (!parent || name.empty() || name.find('\\') != std::string_view::npos)
        return regstatus::kInvalidParameter;
    Node* n = NodeOf(parent);
    auto [it, inserted] = n->children.try_emplace(UpperAscii(name));
    if (inserted) {
        it->second = std::make_unique<Node>();
        it->second->name = std::string(name);
        it->second->parent = n;
    }
    existed = !inserted;
    out = reinterpret_cast<KeyId>(it->second.get());
    return regstatus::kSuccess;
}

long RegFileStore::SetValue(KeyId key, const RegValue& value) {
    if (!key) return regstatus::kInvalidParameter;
    Node* n = NodeOf(key);
    if (RegValue* v = n->FindValue(value.name)) {
        // A later spelling overwrites the data; the first spelling stays.
        v->type = value.type;
        v->data = value.data;
    } else {
        n->values.push_back(value);
    }
    return regstatus::kSuccess;
}

long RegFileStore::DeleteValue(KeyId key, std::string_view name) {
    if (!key) return regstatus::kInvalidParameter;
    auto& vals = NodeOf(key)->values;
    auto it = std::find_if(vals.begin(), vals.end(), [&](const RegValue& v) { return text::IEquals(v.name, name); });
    if (it == vals.end()) return regstatus::kNotFound;
    vals.erase(it);
    return regstatus::kSuccess;
}

long RegFileStore::DeleteSubtree(KeyId parent, std::string_view name) {
    if (!parent) return regstatus::kInvalidParameter;
    return NodeOf(parent)->children.erase(UpperAscii(name)) ? regstatus::kSuccess : regstatus::kNotFound;
}

KeyId RegFileStore::CreatePath(std::string_view path) {
    KeyId k = Root();
    for (auto part : SplitKeyPath(path)) {
        bool existed = false;
        KeyId next = 0;
        if (CreateChild(k, part, next, existed) != regstatus::kSuccess) return 0;
        k = next;
    }
    return k;
}

// ---------------------------------------------------------------------------------------
// Import

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";

constexpr const char* kRootNames[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER", "HKEY_USERS",
                                      "HKEY_CLASSES_ROOT",  "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA",
                                      "HKEY_PERFORMANCE_DATA"};

// The canonical spelling of a root key name, or "" when it is none.
std::string CanonicalRoot(std::string_view name) {
    for (const char* r : kRootNames)
        if (text::IEquals(name, r)) return r;
    return {};
}

std::vector<std::string_view> SplitLines(std::string_view t) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (size_t i = 0; i < t.size(); ++i) {
        if (t[i] == '\r' || t[i] == '\n') {
            lines.push_back(t.substr(start, i - start));
            if (t[i] == '\r' && i + 1 < t.size() && t[i + 1] == '\n') ++i;
            start = i + 1;
        }
    }
    if (start < t.size()) lines.push_back(t.substr(start));
    return lines;
}

std::string_view TrimView(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Reads a quoted text starting at s[pos] == '"'; handles \\ and \". Returns false when the
// closing quote is missing; pos is left after the closing quote.
bool ReadQuoted(std::string_view s, size_t& pos, std::string& out) {
    out.clear();
    ++pos;
    while (pos < s.size()) {
        const char c = s[pos];
        if (c == '\\' && pos + 1 < s.size() && (s[pos + 1] == '\\' || s[pos + 1] == '"')) {
            out += s[pos + 1];
            pos += 2;
            continue;
        }
        if (c == '"') {
            ++pos;
            return true;
        }
        out += c;
        ++pos;
    }
    return false;
}

// Only blanks, or blanks then a ";" comment.
bool OnlyTrailingComment(std::string_view rest) {
    rest = TrimView(rest);
    return rest.empty() || rest.front() == ';';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "01,ab, 3" -> bytes; false on anything but 1-2 hex digits between commas.
bool ParseHexBytes(std::string_view list, std::string& out) {
    out.clear();
    list = TrimView(list);
    if (list.empty()) return true;
    size_t start = 0;
    while (start <= list.size()) {
        size_t comma = list.find(',', start);
        if (comma == std::string_view::npos) comma = list.size();
        const std::string_view tok = TrimView(list.substr(start, comma - start));
        if (tok.empty() || tok.size() > 2) return false;
        int v = 0;
        for (char c : tok) {
            const int d = HexDigit(c);
            if (d < 0) return false;
            v = v * 16 + d;
        }
        out += static_cast<char>(v);
        start = comma + 1;
    }
    return true;
}

}  // namespace

bool RegFileStore::Import(std::string_view bytes, const std::string& sourceName, std::string* error,
                          std::vector<std::string>* warnings) {
    std::string decoded;
    bool unicode = false;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        decoded = text::Utf16LeToUtf8(bytes.substr(2));
        unicode = true;
    } else {
        decoded = text::Cp1252ToUtf8(bytes);
    }
    const auto lines = SplitLines(decoded);
    const std::string_view first = lines.empty() ? std::string_view{} : lines[0];
    if (first != kHeader5 && first != kHeader4) {
        if (error) {
            if (!unicode && bytes.size() >= 4 && bytes[1] == '\0' && bytes[3] == '\0')
                *error = sourceName + ": UTF-16 text without a byte-order mark; not a registry file";
            else
                *error = sourceName + ": not a registry file (the first line must be \"" + std::string(kHeader5) +
                         "\" or \"" + std::string(kHeader4) + "\")";
        }
        return false;
    }
    // hex(2)/hex(7) bytes are UTF-16LE in a 5.00 file and ANSI in a REGEDIT4 file.
    const bool ansiStrings = first == kHeader4;

    auto warn = [&](size_t lineNo, const std::string& why) {
        if (warnings) warnings->push_back(sourceName + ":" + std::to_string(lineNo) + ": " + why + "; line skipped");
    };

    KeyId current = 0;
    for (size_t i = 1; i < lines.size(); ++i) {
        const size_t lineNo = i + 1;
        std::string_view line = TrimView(lines[i]);
        if (line.empty()) continue;
        if (line.front() == '[') {
            current = 0;
            const size_t close = line.rfind(']');
            if (close == std::string_view::npos) {
                warn(lineNo, "key line without \"]\"");
                continue;
            }
            std::string_view path = line.substr(1, close - 1);
            const bool remove = !path.empty() && path.front() == '-';
            if (remove) path.remove_prefix(1);
            auto parts = SplitKeyPath(path);
            const std::string root = parts.empty() ? std::string() : CanonicalRoot(parts[0]);
            if (root.empty()) {
                warn(lineNo, "unknown root key in [" + std::string(path) + "]");
                continue;
            }
            if (remove) {
                KeyId parent = Root();
                parent = Child(parent, root);
                for (size_t k = 1; parent && k + 1 < parts.size(); ++k) parent = Child(parent, parts[k]);
                if (parent && parts.size() > 1) DeleteSubtree(parent, parts.back());
                continue;
            }
            KeyId k = Root();
            bool existed = false;
            CreateChild(k, root, k, existed);
            for (size_t p = 1; p < parts.size() && k; ++p) CreateChild(k, parts[p], k, existed);
            current = k;
            continue;
        }
        if (line.front() != '"' && line.front() != '@') continue;  // comments and other lines

        // A value line; hex data may continue over lines ending in "\".
        std::string full(line);
        while (!full.empty() && full.back() == '\\' && i + 1 < lines.size()) {
            full.pop_back();
            size_t j = i + 1;
            while (j < lines.size()) {
                const std::string_view next = TrimView(lines[j]);
                if (!next.empty() && next.front() != ';') break;
                ++j;
            }
            if (j >= lines.size()) break;
            full += TrimView(lines[j]);
            i = j;
        }
        if (!current) {
            warn(lineNo, "value outside a valid key");
            continue;
        }
        size_t pos = 0;
        std::string name;
        if (full[0] == '@') {
            pos = 1;
        } else if (!ReadQuoted(full, pos, name)) {
            warn(lineNo, "value name without closing quote");
            continue;
        }
        while (pos < full.size() && (full[pos] == ' ' || full[pos] == '\t')) ++pos;
        if (pos >= full.size() || full[pos] != '=') {
            warn(lineNo, "value line without \"=\"");
            continue;
        }
        ++pos;
        const std::string_view data = TrimView(std::string_view(full).substr(pos));
        RegValue v;
        v.name = name;
        if (data == "-") {
            DeleteValue(current, name);
            continue;
        }
        if (!data.empty() && data.front() == '"') {
            size_t p = 0;
            std::string s;
            if (!ReadQuoted(data, p, s) || !OnlyTrailingComment(data.substr(p))) {
                warn(lineNo, "malformed text value");
                continue;
            }
            v.type = kRegSz;
            v.data = text::Utf8ToUtf16Le(s);
            v.data.append(2, '\0');
        } else if (text::IStartsWith(data, "dword:")) {
            std::string_view digits = data.substr(6);
            size_t n = 0;
            uint32_t value = 0;
            while (n < digits.size() && HexDigit(digits[n]) >= 0) {
                value = value * 16 + static_cast<uint32_t>(HexDigit(digits[n]));
                ++n;
            }
            if (n == 0 || n > 8 || !OnlyTrailingComment(digits.substr(n))) {
                warn(lineNo, "malformed dword value");
                continue;
            }
            v.type = kRegDword;
            for (int b = 0; b < 4; ++b) v.data += static_cast<char>((value >> (8 * b)) & 0xFF);
        } else if (text::IStartsWith(data, "hex")) {
            std::string_view rest = data.substr(3);
            uint32_t type = kRegBinary;
            if (!rest.empty() && rest.front() == '(') {
                const size_t close = rest.find(')');
                const std::string_view num = close == std::string_view::npos ? std::string_view{} : rest.substr(1, close - 1);
                if (num.empty() || num.size() > 8 ||
                    !std::all_of(num.begin(), num.end(), [](char c) { return HexDigit(c) >= 0; })) {
                    warn(lineNo, "malformed hex type");
                    continue;
                }
                type = static_cast<uint32_t>(std::stoul(std::string(num), nullptr, 16));
                rest = rest.substr(close + 1);
            }
            if (rest.empty() || rest.front() != ':') {
                warn(lineNo, "malformed hex value");
                continue;
            }
            std::string raw;
            if (!ParseHexBytes(rest.substr(1), raw)) {
                warn(lineNo, "malformed hex bytes");
                continue;
            }
            if (type == kRegExpandSz || type == kRegMultiSz) {
                if (ansiStrings) {
                    raw = text::Utf8ToUtf16Le(text::Cp1252ToUtf8(raw));
                } else if (raw.size() % 2) {
                    raw += '\0';
                }
                if (raw.size() < 2 || raw[raw.size() - 1] != '\0' || raw[raw.size() - 2] != '\0') raw.append(2, '\0');
            }
            v.type = type;
            v.data = std::move(raw);
        } else {
            warn(lineNo, "unknown value data");
            continue;
        }
        SetValue(current, v);
    }
    return true;
}

std::unique_ptr<RegFileStore> RegFileStore::Load(const fs::path& file, std::string* error,
                                                 std::vector<std::string>* warnings) {
    std::string bytes, why;
    if (!ReadWholeFile(file, bytes, &why)) {
        if (error) *error = why;
        return nullptr;
    }
    auto store = std::make_unique<RegFileStore>();
    store->SetSource(file.string());
    if (!store->Import(bytes, file.string(), error, warnings)) return nullptr;
    store->SetWritable(false);
    return store;
}

// ---------------------------------------------------------------------------------------
// Export

namespace {

std::string Escape(std::string_view s) {
    std::string r;
    for (char c : s) {
        if (c == '\\' || c == '"') r += '\\';
        r += c;
    }
    return r;
}

// A REG_SZ that a quoted line can carry unchanged: NUL-terminated UTF-16 without inner
// NULs or line breaks.
bool QuotableText(const RegValue& v, std::string& utf8) {
    if (v.type != kRegSz || v.data.size() < 2 || v.data.size() % 2) return false;
    if (v.data[v.data.size() - 1] != '\0' || v.data[v.data.size() - 2] != '\0') return false;
    const std::string_view body(v.data.data(), v.data.size() - 2);
    for (size_t k = 0; k < body.size(); k += 2)
        if (body[k] == '\0' && body[k + 1] == '\0') return false;
    utf8 = text::Utf16LeToUtf8(body);
    if (utf8.find_first_of("\r\n") != std::string::npos) return false;
    // Text that does not survive the trip through UTF-8 (lone surrogates) goes as hex.
    return text::Utf8ToUtf16Le(utf8) == body;
}

void AppendHex(std::string& out, std::string prefix, std::string_view bytes) {
    static const char* kDigits = "0123456789abcdef";
    std::string line = std::move(prefix);
    for (size_t k = 0; k < bytes.size(); ++k) {
        const auto b = static_cast<unsigned char>(bytes[k]);
        std::string tok{kDigits[b >> 4], kDigits[b & 15]};
        if (k + 1 < bytes.size()) tok += ',';
        // Wrap so that no line, with its trailing "\", passes column 80.
        if (line.size() + tok.size() > 78 && k > 0) {
            out += line + "\\\r\n";
            line = "  ";
        }
        line += tok;
    }
    out += line + "\r\n";
}

}  // namespace

void RegFileStore::AppendValueLine(std::string& out, const RegValue& v, Format format) {
    const std::string name = v.name.empty() ? "@" : "\"" + Escape(v.name) + "\"";
    std::string s;
    if (QuotableText(v, s)) {
        out += name + "=\"" + Escape(s) + "\"\r\n";
    } else if (v.type == kRegDword && v.data.size() == 4) {
        uint32_t d = 0;
        for (int b = 3; b >= 0; --b) d = (d << 8) | static_cast<unsigned char>(v.data[b]);
        char buf[16];
        std::snprintf(buf, sizeof buf, "%08x", d);
        out += name + "=dword:" + buf + "\r\n";
    } else {
        std::string bytes = v.data;
        if (format == Format::kRegedit4 && (v.type == kRegExpandSz || v.type == kRegMultiSz) && bytes.size() % 2 == 0)
            bytes = text::Utf8ToCp1252(text::Utf16LeToUtf8(bytes));
        char buf[16];
        std::snprintf(buf, sizeof buf, "%x", v.type);
        AppendHex(out, name + (v.type == kRegBinary ? std::string("=hex:") : "=hex(" + std::string(buf) + "):"), bytes);
    }
}

std::string RegFileStore::Export(std::string_view path, Format format) const {
    std::string out(format == Format::kRegedit5 ? kHeader5 : kHeader4);
    out += "\r\n\r\n";
    KeyId start = Walk(Root(), path);
    if (!start) start = 0;
    // Recursive walk in registry order.
    std::vector<std::pair<const Node*, std::string>> stack;
    if (start) {
        const Node* n = NodeOf(start);
        if (n == root_.get()) {
            for (auto it = n->children.rbegin(); it != n->children.rend(); ++it)
                stack.emplace_back(it->second.get(), it->second->name);
        } else {
            std::string full;
            for (const Node* p = n; p && p != root_.get(); p = p->parent) full = p->name + (full.empty() ? "" : "\\" + full);
            stack.emplace_back(n, full);
        }
    }
    while (!stack.empty()) {
        auto [n, full] = stack.back();
        stack.pop_back();
        out += "[" + full + "]\r\n";
        for (const RegValue& v : n->values) AppendValueLine(out, v, format);
        out += "\r\n";
        for (auto it = n->children.rbegin(); it != n->children.rend(); ++it)
            stack.emplace_back(it->second.get(), full + "\\" + it->second->name);
    }
    if (format == Format::kRegedit5) return "\xFF\xFE" + text::Utf8ToUtf16Le(out);
    return text::Utf8ToCp1252(out);
}

bool RegFileStore::Save(const fs::path& file, Format format, unsigned mode, std::string* why) const {
    return WriteFileAtomically(file, Export({}, format), mode, why);
}

}  // namespace vornel::platform
