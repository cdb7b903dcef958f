// reg2hive IN.reg OUT.hive [KEYPATH]: writes the subtree of a .reg file below KEYPATH (for
// example HKEY_LOCAL_MACHINE\SYSTEM; the whole file when omitted) as a hive file whose root
// is that key. Exit status 0 done, 1 the hive could not be written, 2 unusable input.
#include <iostream>
#include <string>
#include <vector>

#include "platform/hive_writer.h"
#include "platform/reg_file_store.h"

int main(int argc, char** argv) {
    using namespace vornel::platform;
    if (argc < 3 || argc > 4) {
        std::cerr << "usage: reg2hive IN.reg OUT.hive [KEYPATH]\n";
        return 2;
    }
    const std::string keyPath = argc == 4 ? argv[3] : "";
    std::string error;
    std::vector<std::string> warnings;
    auto store = RegFileStore::Load(argv[1], &error, &warnings);
    for (const auto& w : warnings) std::cerr << "reg2hive: " << w << "\n";
    if (!store) {
        std::cerr << "reg2hive: " << error << "\n";
        return 2;
    }
    const KeyId from = store->Walk(store->Root(), keyPath);
    if (!from) {
        std::cerr << "reg2hive: " << argv[1] << " has no key " << keyPath << "\n";
        return 2;
    }
    if (!WriteHive(*store, from, argv[2], &error)) {
        std::cerr << "reg2hive: " << error << "\n";
        return 1;
    }
    return 0;
}
