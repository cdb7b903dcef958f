// vornel reg: look at the registry of an installation as the scan sees it.
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>

#include "cli/commands.h"
#include "cli/registry_sources.h"
#include "platform/atomic_file.h"
#include "platform/reg_file_store.h"
#include "support/text.h"

namespace vornel::cli {

namespace {

using platform::RegistryView;

struct RegOptions {
    app::InstallationSources sources;
    std::string key;
    std::string value;
    std::string out;
};

// The view's subtree at `path` in .reg form (UTF-8), streamed key by key: a dump of a
// whole hive is never copied first.
void DumpSubtree(const RegistryView& view, const std::string& path, std::ostream& out) {
    std::vector<std::string> stack{path};
    if (path.empty()) {
        // Everything: each root key that any source holds.
        stack.clear();
        for (const char* root : {"HKEY_USERS", "HKEY_LOCAL_MACHINE", "HKEY_DYN_DATA", "HKEY_CURRENT_USER"})
            if (view.Open(root).Exists()) stack.emplace_back(root);
    }
    std::vector<std::string> names;
    std::vector<platform::RegValue> values;
    std::string block;
    while (!stack.empty()) {
        const std::string p = std::move(stack.back());
        stack.pop_back();
        const auto key = view.Open(p);
        block = "[" + p + "]\r\n";
        view.Values(key, values);
        for (const auto& v : values) platform::RegFileStore::AppendValueLine(block, v, platform::RegFileStore::Format::kRegedit5);
        block += "\r\n";
        out << block;
        view.SubKeyNames(key, names);
        for (auto it = names.rbegin(); it != names.rend(); ++it) stack.push_back(p.empty() ? *it : p + "\\" + *it);
    }
}

std::string TypeName(uint32_t t) {
    static const char* kNames[] = {"REG_NONE", "REG_SZ", "REG_EXPAND_SZ", "REG_BINARY", "REG_DWORD",
                                   "REG_DWORD_BIG_ENDIAN", "REG_LINK", "REG_MULTI_SZ", "REG_RESOURCE_LIST",
                                   "REG_FULL_RESOURCE_DESCRIPTOR", "REG_RESOURCE_REQUIREMENTS_LIST", "REG_QWORD"};
    return t < std::size(kNames) ? kNames[t] : "REG_TYPE_" + std::to_string(t);
}

std::string ValueText(const platform::RegValue& v) {
    std::string_view d = v.data;
    switch (v.type) {
        case platform::kRegSz:
        case platform::kRegExpandSz:
        case platform::kRegMultiSz:
        case platform::kRegLink: {
            if (d.size() % 2) d.remove_suffix(1);
            while (d.size() >= 2 && d[d.size() - 1] == '\0' && d[d.size() - 2] == '\0') d.remove_suffix(2);
            return text::ReplaceAll(text::Utf16LeToUtf8(d), std::string_view("\0", 1), "\\0");
        }
        case platform::kRegDword:
            if (d.size() == 4) {
                uint32_t n = 0;
                for (int b = 3; b >= 0; --b) n = (n << 8) | static_cast<unsigned char>(d[b]);
                char buf[32];
                std::snprintf(buf, sizeof buf, "0x%x (%u)", n, n);
                return buf;
            }
            [[fallthrough]];
        default: {
            std::string hex;
            char buf[4];
            for (unsigned char c : d) {
                std::snprintf(buf, sizeof buf, "%02X", c);
                hex += buf;
            }
            return hex;
        }
    }
}

// Mounts the sources; prints warnings; false (status set) when unusable.
bool OpenSources(const app::InstallationSources& s, RegistryView& view, bool* warned) {
    if (!s.Any()) {
        std::cerr << "vornel reg: give the registry to read: --root DIR, --hive NAME=FILE or --reg FILE\n";
        SetExitStatus(kExitUsage);
        return false;
    }
    std::string why;
    std::vector<std::string> warnings;
    const bool ok = app::MountRegistrySources(s, view, &why, &warnings);
    for (const auto& w : warnings) std::cerr << "warning: " << w << "\n";
    *warned = !warnings.empty();
    if (!ok) {
        std::cerr << "vornel reg: " << why << "\n";
        SetExitStatus(kExitUsage);
    }
    return ok;
}

void RunDump(const RegOptions& o) {
    RegistryView view;
    bool warned = false;
    if (!OpenSources(o.sources, view, &warned)) return;
    const std::string path = view.Resolve(o.key);
    if (!o.key.empty() && !view.Open(path).Exists()) {
        std::cerr << "vornel reg: no such key: " << o.key << "\n";
        SetExitStatus(kExitFailed);
        return;
    }
    std::ostringstream text;
    text << "Windows Registry Editor Version 5.00\r\n\r\n";
    DumpSubtree(view, path, text);
    if (!o.out.empty()) {
        // A file is a real export: UTF-16LE with its byte-order mark.
        std::string why;
        if (!platform::WriteFileAtomically(o.out, "\xFF\xFE" + text::Utf8ToUtf16Le(text.str()), 0644, &why)) {
            std::cerr << "vornel reg: " << why << "\n";
            SetExitStatus(kExitFailed);
            return;
        }
    } else {
        std::cout << text.str();  // UTF-8 on the terminal
    }
    // Input that needed skipping is not clean input.
    SetExitStatus(warned ? kExitUsage : kExitOk);
}

void RunGet(const RegOptions& o) {
    RegistryView view;
    bool warned = false;
    if (!OpenSources(o.sources, view, &warned)) return;
    const auto key = view.Open(o.key);
    platform::RegValue v;
    if (!key.Exists()) {
        std::cerr << "vornel reg: no such key: " << o.key << "\n";
        SetExitStatus(kExitFailed);
        return;
    }
    if (!view.FindValue(key, o.value, v)) {
        std::cerr << "vornel reg: no value \"" << o.value << "\" in " << o.key << "\n";
        SetExitStatus(kExitFailed);
        return;
    }
    std::cout << (v.name.empty() ? "(Default)" : v.name) << "\t" << TypeName(v.type) << "\t" << ValueText(v) << "\n";
    SetExitStatus(kExitOk);
}

}  // namespace

void RegisterRegCommands(CLI::App& app) {
    auto opts = std::make_shared<RegOptions>();
    CLI::App* reg = app.add_subcommand("reg", "read the registry of a Windows installation as the scan sees it");
    reg->require_subcommand(1);

    CLI::App* dump = reg->add_subcommand("dump", "print a subtree in .reg form");
    AddInstallationOptions(dump, opts->sources);
    dump->add_option("KEY", opts->key, "the key to print (default: everything)");
    dump->add_option("-o,--out", opts->out, "write a UTF-16 .reg file instead of printing");
    dump->callback([opts] { RunDump(*opts); });

    CLI::App* get = reg->add_subcommand("get", "print one value with its type");
    AddInstallationOptions(get, opts->sources);
    get->add_option("KEY", opts->key, "the key, from its root: HKEY_LOCAL_MACHINE\\SYSTEM\\...")->required();
    get->add_option("VALUE", opts->value, "the value name (\"\" for the default value)")->required();
    get->callback([opts] { RunGet(*opts); });
}

}  // namespace vornel::cli
