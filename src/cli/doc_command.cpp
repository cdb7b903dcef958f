// `vornel doc show FILE [KEY]`: the records of a saved driver document, or every field of
// one record, decoded.
#include <iostream>
#include <memory>
#include <string>

#include "cli/commands.h"
#include "scan/driver_record.h"
#include "support/text.h"
#include "xml/document_io.h"
#include "xml/driver_document.h"

namespace vornel::cli {

namespace {

struct DocOptions {
    std::string file;
    std::string key;
};

// A value may hold any character; control characters would drive the terminal, so they
// are shown as \xNN.
std::string Printable(std::string_view s) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char32_t c : text::DecodeUtf8(s)) {
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) {
            out += "\\x";
            out += kHex[(c >> 4) & 0xF];
            out += kHex[c & 0xF];
        } else {
            text::AppendUtf8(out, c);
        }
    }
    return out;
}

void PrintRecord(const DriverRecord& r) {
    for (FieldPlace place : {FieldPlace::Device, FieldPlace::XmlVlx}) {
        for (const DriverField* f : DocumentFields(place)) {
            std::string value = FieldValueText(r, *f);
            if (const auto* list = std::get_if<ListMember>(&f->member)) value = text::Join(r.*(*list), " | ");
            std::cout << f->name << ": " << Printable(value) << "\n";
        }
    }
}

int Show(const DocOptions& o) {
    pugi::xml_document doc;
    xml::ParseReport report;
    if (!xml::LoadXmlFile(doc, o.file, report)) {
        std::cerr << "vornel doc: " << o.file << ": " << report.reason;
        if (report.line > 0) std::cerr << " (line " << report.line << ", column " << report.linepos << ")";
        std::cerr << "\n";
        return kExitUsage;
    }
    if (o.key.empty()) {
        for (pugi::xml_node device : DeviceElements(doc)) {
            DriverRecord r;
            if (!mP_FillDriverDataStruct(device, r)) return kExitFailed;
            const std::string& name = r.DriverDesc.empty() ? r.DeviceDesc : r.DriverDesc;
            std::cout << Printable(r.XMLIdx) << "\t" << Printable(name) << "\n";
        }
        return kExitOk;
    }
    const pugi::xml_node device = FindDeviceByKey(doc, o.key);
    if (!device) {
        std::cerr << "vornel doc: no record with the key " << Printable(o.key) << " in " << o.file << "\n";
        return kExitFailed;
    }
    DriverRecord r;
    if (!mP_FillDriverDataStruct(device, r)) return kExitFailed;
    PrintRecord(r);
    return kExitOk;
}

}  // namespace

void RegisterDocCommands(CLI::App& app) {
    CLI::App* doc = app.add_subcommand("doc", "read a saved driver document");
    doc->require_subcommand(1);
    auto opts = std::make_shared<DocOptions>();
    CLI::App* show = doc->add_subcommand(
        "show", "list the records of a driver document (key and name), or print every field of "
                "the record with KEY");
    show->add_option("FILE", opts->file, "the driver document (mid_<computer>.vlx)")->required();
    show->add_option("KEY", opts->key, "the record's key (XMLIdx), as plain text");
    show->callback([opts] { SetExitStatus(Show(*opts)); });
}

}  // namespace vornel::cli
