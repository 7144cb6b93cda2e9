// libFuzzer target (fuzz/run_trust_fuzz.sh): the client-side reader over a hostile segment. The input
// is the segment's bytes (a piece header and slots, whatever they hold); the
// reader attaches it, walks it, searches it and resolves references into it,
// and must never read outside it, crash or loop.
#include "client/ZSharedPoolReader.h"
#include "storage/ZPieceHeader.h"
#include "storage/ZSharedSegment.h"

#include <QString>

#include <cstdint>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

constexpr int kSegmentBytes = 64 * 1024;
const QString kPool = QStringLiteral("{fuzzed-segment-pool}");

// One segment for the whole run, refilled with each input; removed at exit.
SearchEngine::ZSharedSegment& segment()
{
    static SearchEngine::ZSharedSegment s(kPool + QStringLiteral("1"));
    static const bool made = s.create(kSegmentBytes);
    if (!made)
        abort();
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace SearchEngine;
    SearchEngine::ZSharedSegment& s = segment();
    const size_t n = size < size_t(kSegmentBytes) ? size : size_t(kSegmentBytes);
    std::memcpy(s.data(), data, n);
    std::memset(static_cast<char*>(s.data()) + n, 0, size_t(kSegmentBytes) - n);

    ZSharedPoolReader reader(kPool, 0, SegmentOwner{geteuid(), getpid()});
    reader.setAnnouncedPieces(1);
    if (reader.attachPieces(1) != 1)
        return 0;
    reader.forEachLiveItem([](const ZItemSnapshot&) { return true; });
    reader.findNames(QStringLiteral("a"));
    // References taken from the input's last bytes, into the one piece.
    for (size_t at = 0; at + sizeof(uint32_t) <= n && at < 64; at += sizeof(uint32_t)) {
        uint32_t slot;
        std::memcpy(&slot, data + at, sizeof slot);
        ZItemSnapshot item;
        reader.readItem(makeItemRef(reader.drive(), 1, slot), &item);
    }
    return 0;
}
