// A reader in its own process for the storage reader test: attaches a pool
// by name while the test writes it, walks it again and again and checks
// every live record it sees, and every reference it saw a moment ago.
// Prints "passes=N live=M torn=T refs=R pieces=P"; exits 0 when nothing torn
// was seen, 1 when something was, 2 on bad use.
#include "storage/storage_probe_names.h"

#include <cstdio>
#include <cstdlib>

using namespace SearchEngine;

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: storage_reader_probe <pool name> <drive code> <passes>\n");
        return 2;
    }
    const int passes = std::atoi(argv[3]);
    ZSharedPoolReader reader(QString::fromUtf8(argv[1]), WORD(std::atoi(argv[2])));
    if (reader.attachPieces() == 0) {
        std::fprintf(stderr, "no piece of %s\n", argv[1]);
        return 2;
    }
    long long live = 0, torn = 0, refsRead = 0;
    QVector<ULONGLONG> refs;
    for (int pass = 0; pass < passes; ++pass) {
        reader.attachPieces();   // pieces the writer added since
        refs.clear();
        reader.forEachLiveItem([&](const ZItemSnapshot& s) {
            ++live;
            if (!StorageProbe::isWhole(s) && ++torn <= 5)
                std::fprintf(stderr, "torn: %s #%u\n", s.name.constData(), s.recordNumber);
            if (refs.size() < 2000)
                refs.append(s.itemRef);
            return true;
        });
        // Live and whole, or freed since.
        for (ULONGLONG ref : refs) {
            ZItemSnapshot s;
            if (reader.readItem(ref, &s) == ZSharedPoolReader::ReadOk) {
                ++refsRead;
                torn += s.isLive() && !StorageProbe::isWhole(s);
            }
        }
    }
    std::printf("passes=%d live=%lld torn=%lld refs=%lld pieces=%d\n", passes, live, torn, refsRead,
                reader.attachedPieces());
    return torn == 0 ? 0 : 1;
}
