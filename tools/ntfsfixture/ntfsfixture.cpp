// ntfsfixture: makes NTFS images for tests and benchmarks, without mounting.
//
//   ntfsfixture [--format BYTES] [--cluster BYTES] [--label NAME] IMAGE [SCRIPT|-]
//
// --format makes a fresh volume first (mkntfs). The script (a file, or
// standard input for "-") has one command per line; paths are absolute in
// the volume, UTF-8, without spaces:
//   mkdir PATH                       folder (and missing parents)
//   file PATH SIZE                   file with SIZE bytes of data
//   link EXISTING NEWPATH            another hard link
//   delete PATH                      remove a name (the file with its last name)
//   dosname PATH SHORTNAME           split the name into Win32 + DOS names
//   streams PATH COUNT SIZE          named $DATA streams
//   many DIR COUNT                   COUNT empty files DIR/f0, DIR/f1, ...
//   fragment                         fill the free space, free every other cluster
//   journal MAXSIZE FIRSTUSN ID      $Extend\$UsnJrnl, $J sparse below FIRSTUSN
//   usn PATH REASON                  append a USN_RECORD_V2 (REASON in hex)
#include "ZNtfsFixture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

int main(int argc, char** argv)
{
    uint64_t formatBytes = 0;
    unsigned cluster = 4096;
    std::string label = "fixture";
    int i = 1;
    for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
        if (!std::strcmp(argv[i], "--format"))
            formatBytes = std::strtoull(argv[i + 1], nullptr, 0);
        else if (!std::strcmp(argv[i], "--cluster"))
            cluster = unsigned(std::strtoul(argv[i + 1], nullptr, 0));
        else if (!std::strcmp(argv[i], "--label"))
            label = argv[i + 1];
        else
            break;
    }
    if (i >= argc) {
        std::fprintf(stderr, "usage: %s [--format BYTES] [--cluster BYTES] [--label NAME] IMAGE [SCRIPT|-]\n", argv[0]);
        return 2;
    }
    const std::string image = argv[i];
    std::string error;
    if (formatBytes && !SearchEngine::ZNtfsFixture::format(image, formatBytes, cluster, label, &error)) {
        std::fprintf(stderr, "ntfsfixture: %s\n", error.c_str());
        return 1;
    }
    std::stringstream script;
    if (i + 1 < argc && std::strcmp(argv[i + 1], "-") != 0) {
        std::ifstream f(argv[i + 1]);
        if (!f) {
            std::fprintf(stderr, "ntfsfixture: cannot read %s\n", argv[i + 1]);
            return 1;
        }
        script << f.rdbuf();
    } else if (i + 1 < argc) {
        script << std::cin.rdbuf();
    }
    SearchEngine::ZNtfsFixture fixture;
    if (!fixture.open(image) || !fixture.runScript(script.str()) || !fixture.close()) {
        std::fprintf(stderr, "ntfsfixture: %s\n", fixture.lastError().c_str());
        return 1;
    }
    return 0;
}
