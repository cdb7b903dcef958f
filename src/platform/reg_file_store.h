#pragma once
// A registry store read from and written back as .reg text: "Windows Registry Editor
// Version 5.00" (UTF-16LE with BOM) or "REGEDIT4" (ANSI). The tree starts above the root
// keys: its top-level children are HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, ...
#include <deque>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry_store.h"

namespace vornel::platform {

class RegFileStore : public RegistryStore {
public:
    enum class Format { kRegedit5, kRegedit4 };

    // An empty, writable store.
    RegFileStore();
    ~RegFileStore() override;

    // Imports a .reg file into a new, read-only store. Returns null with a one-line reason in *error
    // when the file cannot be read or has no valid header; malformed lines are skipped
    // with a warning naming the file and line, appended to *warnings.
    static std::unique_ptr<RegFileStore> Load(const std::filesystem::path& file, std::string* error,
                                              std::vector<std::string>* warnings = nullptr);
    // Imports .reg text into this store (later imports overwrite earlier values).
    bool Import(std::string_view bytes, const std::string& sourceName, std::string* error,
                std::vector<std::string>* warnings = nullptr);

    // The subtree at `path` (below the top, "" for everything) as .reg text, as regedit
    // exports it. kRegedit5 output is UTF-16LE with BOM.
    std::string Export(std::string_view path = {}, Format format = Format::kRegedit5) const;
    // One value as its export line ends with CR LF, in UTF-8 (the caller encodes).
    static void AppendValueLine(std::string& out, const RegValue& v, Format format);
    // Writes Export() to `file` atomically with the given mode.
    bool Save(const std::filesystem::path& file, Format format, unsigned mode, std::string* why) const;

    std::string Source() const override { return source_; }
    void SetSource(std::string s) { source_ = std::move(s); }

    KeyId Root() const override;
    KeyId Child(KeyId parent, std::string_view name) const override;
    void SubKeyNames(KeyId key, std::vector<std::string>& out) const override;
    void Values(KeyId key, std::vector<RegValue>& out) const override;
    bool FindValue(KeyId key, std::string_view name, RegValue& out) const override;

    // Whether the registry view may write here. Stores loaded from a scanned
    // installation's exports are read-only: the scan never changes what it scans.
    bool Writable() const override { return writable_; }
    void SetWritable(bool w) { writable_ = w; }
    long CreateChild(KeyId parent, std::string_view name, KeyId& out, bool& existed) override;
    long SetValue(KeyId key, const RegValue& value) override;
    long DeleteValue(KeyId key, std::string_view name) override;
    long DeleteSubtree(KeyId parent, std::string_view name) override;

    // Creates every missing key along `path` from the top; returns the last.
    KeyId CreatePath(std::string_view path);

private:
    struct Node;
    Node* NodeOf(KeyId k) const { return reinterpret_cast<Node*>(k); }
    std::unique_ptr<Node> root_;
    std::string source_ = "registry file";
    bool writable_ = true;
};

}  // namespace vornel::platform
