// gen-installation: writes a large synthetic Windows installation for benchmarks and
// prints what it wrote.
//
//   gen-installation OUT [--devices N] [--infs N] [--files N] [--seed N]
//
// Defaults: 2,000 device instances, 3,000 INF files, 20,000 driver files, seed 1. OUT must
// not exist or be empty. Exit status 0 done, 1 a file could not be written, 2 bad usage.
#include <cstdlib>
#include <iostream>
#include <string>

#include "synthetic_installation.h"

namespace {

int Usage() {
    std::cerr << "usage: gen-installation OUT [--devices N] [--infs N] [--files N] [--seed N]\n"
                 "  defaults: 2000 device instances, 3000 INF files, 20000 driver files, seed 1\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    vornel::bench::SyntheticOptions o;
    if (argc < 2 || argv[1][0] == '-') return Usage();
    o.root = argv[1];
    for (int i = 2; i < argc; i += 2) {
        if (i + 1 >= argc || !vornel::bench::SetSyntheticOption(argv[i], argv[i + 1], o)) return Usage();
    }
    if (o.devices == 0 || o.infs == 0) return Usage();
    vornel::bench::SyntheticReport report;
    std::string why;
    if (!vornel::bench::GenerateInstallation(o, &report, &why)) {
        std::cerr << "gen-installation: " << why << "\n";
        return 1;
    }
    std::cout << "gen-installation: " << vornel::bench::DescribeReport(o, report);
    return 0;
}
