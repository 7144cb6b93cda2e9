// Storage benchmark: appends one million records with names of 5 to 40
// bytes into a pool, walks it, saves it and loads it again, and prints
// records per second for each step and the pool's bytes per record.
// Run: cmake --build <build> --target storage_bench && <build>/storage_bench [records]
// The find step scans the pool as a client does, through ZSharedPoolReader.
#include "client/ZSharedPoolReader.h"
#include "storage/ZItemStore.h"
#include "storage/ZSavedBytesReader.h"
#include "storage/ZSharedPool.h"

#include <QBuffer>
#include <QDataStream>
#include <QElapsedTimer>
#include <QUuid>

#include <cstdio>
#include <ctime>
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

// CPU time of this thread: on a shared machine the wall clock also counts
// the time other processes had the core.
qint64 cpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Span {
    QElapsedTimer wall;
    qint64 cpuStart = 0;
    void start()
    {
        cpuStart = cpuNs();
        wall.start();
    }
    qint64 wallNs() const { return wall.nsecsElapsed(); }
    qint64 cpu() const { return cpuNs() - cpuStart; }
};

void report(const char* what, long long count, qint64 wallNs, qint64 cpu, const char* extra)
{
    std::printf("%-18s %6.2f M records/s wall, %6.2f M records/s CPU %s\n", what, perSecond(count, wallNs) / 1e6,
                perSecond(count, cpu) / 1e6, extra);
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const std::vector<Name> names = makeNames(count);

    ZSharedPool pool(QUuid::createUuid().toString(), 'C');
    Span timer;
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
    const qint64 appendNs = timer.wallNs(), appendCpu = timer.cpu();

    timer.start();
    long long live = 0;
    ULONGLONG check = 0;
    pool.forEachItem([&](ZLockItem item) {
        ++live;
        check += item->nameLength;
        return true;
    });
    const qint64 walkNs = timer.wallNs(), walkCpu = timer.cpu();

    // A client's search: every record's signature, names compared only
    // where the signature allows.
    ZSharedPoolReader reader(pool.name(), 'C');
    reader.attachPieces();
    timer.start();
    const int found = reader.findNames(QStringLiteral("QuIz")).size();
    const qint64 findNs = timer.wallNs(), findCpu = timer.cpu();
    reader.detachAll();

    QByteArray saved;
    saved.reserve(count * 64);
    timer.start();
    {
        QDataStream out(&saved, QIODevice::WriteOnly);
        pool.save(out);
    }
    const qint64 saveNs = timer.wallNs(), saveCpu = timer.cpu();

    long long poolBytes = 0;
    for (int p = 1; p <= pool.pieceCount(); ++p)
        poolBytes += pool.piece(p)->segmentSize();
    const int pieces = pool.pieceCount();
    pool.clear();

    ZSharedPool loaded(QUuid::createUuid().toString(), 'C');
    timer.start();
    QBuffer device;
    device.setData(saved);
    device.open(QIODevice::ReadOnly);
    SearchEngine::ZSavedBytesReader in(&device);
    const bool ok = loaded.load(in);
    const qint64 loadNs = timer.wallNs(), loadCpu = timer.cpu();

    std::printf("records            %d (names 5..40 bytes, %llu name bytes)\n", count,
                (unsigned long long)check);
    report("append", count, appendNs, appendCpu, "");
    report("walk", live, walkNs, walkCpu, "");
    report("find (client)", count, findNs, findCpu,
           QByteArray(" (" + QByteArray::number(found) + " names contain \"quiz\")").constData());
    report("save", count, saveNs, saveCpu, QByteArray(" (" + QByteArray::number(saved.size()) + " bytes)").constData());
    report("load", count, loadNs, loadCpu, ok ? "(ok)" : "(FAILED)");
    std::printf("pool memory        %d pieces, %lld bytes, %.1f bytes/record\n", pieces, poolBytes,
                double(poolBytes) / count);
    std::printf("cache file         %.1f bytes/record\n", double(saved.size()) / count);
    return ok && live == count ? 0 : 1;
}
