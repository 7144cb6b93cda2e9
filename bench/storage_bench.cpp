// Storage benchmark: appends one million records with names of 5 to 40
// bytes into a pool, walks it, saves it and loads it again, and prints
// records per second for each step and the pool's bytes per record.
// Run: cmake --build <build> --target storage_bench && <build>/storage_bench [records]
#include "storage/ZItemStore.h"
#include "storage/ZSharedPool.h"

#include <QBuffer>
#include <QDataStream>
#include <QElapsedTimer>
#include <QUuid>

#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace SearchEngine;

namespace {

struct Name {
    char utf8[48];
    int length;
    ULONGLONG signature;
};

// Names of 5..40 ASCII bytes, spread evenly, made before timing starts.
std::vector<Name> makeNames(int count)
{
    std::vector<Name> names(static_cast<size_t>(count));
    unsigned seed = 12345;
    for (int i = 0; i < count; ++i) {
        Name& n = names[size_t(i)];
        n.length = 5 + i % 36;
        ushort units[48];
        for (int c = 0; c < n.length; ++c) {
            seed = seed * 1103515245u + 12345u;
            const char ch = char('a' + (seed >> 16) % 26);
            n.utf8[c] = ch;
            units[c] = ushort(ch);
        }
        n.signature = nameSignatureOf(units, n.length);
    }
    return names;
}

double perSecond(long long count, qint64 ns)
{
    return ns > 0 ? double(count) * 1e9 / double(ns) : 0.0;
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const std::vector<Name> names = makeNames(count);

    ZSharedPool pool(QUuid::createUuid().toString(), 'C');
    QElapsedTimer timer;
    timer.start();
    ZItemFields fields;
    fields.parentRecordNumber = 5;
    for (int i = 0; i < count; ++i) {
        const Name& n = names[size_t(i)];
        ZLockItem run = pool.append(slotsForNameLength(n.length));
        fields.recordNumber = DWORD(i + 16);
        fields.nameSignature = n.signature;
        if (!createItem(run, fields, n.utf8, n.length)) {
            std::fprintf(stderr, "append failed at %d\n", i);
            return 1;
        }
    }
    const qint64 appendNs = timer.nsecsElapsed();

    timer.restart();
    long long live = 0;
    ULONGLONG check = 0;
    pool.forEachItem([&](ZLockItem item) {
        ++live;
        check += item->nameLength;
        return true;
    });
    const qint64 walkNs = timer.nsecsElapsed();

    QByteArray saved;
    saved.reserve(count * 64);
    timer.restart();
    {
        QDataStream out(&saved, QIODevice::WriteOnly);
        pool.save(out);
    }
    const qint64 saveNs = timer.nsecsElapsed();

    long long poolBytes = 0;
    for (int p = 1; p <= pool.pieceCount(); ++p)
        poolBytes += pool.piece(p)->segmentSize();
    const int pieces = pool.pieceCount();
    pool.clear();

    ZSharedPool loaded(QUuid::createUuid().toString(), 'C');
    timer.restart();
    QDataStream in(saved);
    const bool ok = loaded.load(in);
    const qint64 loadNs = timer.nsecsElapsed();

    std::printf("records            %d (names 5..40 bytes, %llu name bytes)\n", count,
                (unsigned long long)check);
    std::printf("append             %.2f M records/s\n", perSecond(count, appendNs) / 1e6);
    std::printf("walk               %.2f M records/s (%lld live)\n", perSecond(live, walkNs) / 1e6, live);
    std::printf("save               %.2f M records/s (%d bytes)\n", perSecond(count, saveNs) / 1e6,
                saved.size());
    std::printf("load               %.2f M records/s (%s)\n", perSecond(count, loadNs) / 1e6,
                ok ? "ok" : "FAILED");
    std::printf("pool memory        %d pieces, %lld bytes, %.1f bytes/record\n", pieces, poolBytes,
                double(poolBytes) / count);
    std::printf("cache file         %.1f bytes/record\n", double(saved.size()) / count);
    return ok && live == count ? 0 : 1;
}
