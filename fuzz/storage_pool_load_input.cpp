#include "storage_pool_load_input.h"

#include "storage/ZSavedBytesReader.h"
#include "storage/ZSegmentLedger.h"
#include "storage/ZSharedPool.h"

#include <QBuffer>
#include <QDataStream>
#include <QUuid>

#include <cstdio>

namespace StorageFuzz {

namespace {

// Small pieces keep each input cheap; segments a crashed run left are
// removed once.
bool prepare()
{
    SearchEngine::ZSharedPiece::setCreateGateForTesting(
        [](int size) { return size <= SearchEngine::kSmallestPieceSize; });
    SearchEngine::removeStaleSharedSegments();
    return true;
}

QString nextPoolName()
{
    static const QString stem = QUuid::createUuid().toString();
    static int serial = 0;
    return stem + QString::number(++serial) + QLatin1Char('-');
}

QByteArray savePool(SearchEngine::ZSharedPool& pool)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    pool.save(out);
    return bytes;
}

bool loadFrom(SearchEngine::ZSharedPool& pool, const QByteArray& bytes)
{
    QBuffer device;
    device.setData(bytes);
    device.open(QIODevice::ReadOnly);
    SearchEngine::ZSavedBytesReader in(&device);
    return pool.load(in);
}

} // namespace

Outcome loadPoolInput(const uint8_t* data, size_t size)
{
    static const bool ready = prepare();
    (void)ready;
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    SearchEngine::ZSharedPool pool(nextPoolName(), 'C');
    if (!loadFrom(pool, input))
        return Rejected;
    int live = 0;
    pool.forEachItem([&](SearchEngine::ZLockItem item) {
        live += item.name().size() >= 0;
        return true;
    });
    const QByteArray saved = savePool(pool);
    SearchEngine::ZSharedPool copy(nextPoolName(), 'C');
    if (!loadFrom(copy, saved)) {
        std::fprintf(stderr, "saved pool of %d pieces does not load again\n", pool.pieceCount());
        return RoundTripBroken;
    }
    if (savePool(copy) != saved) {
        std::fprintf(stderr, "saved pool saves differently after a load\n");
        return RoundTripBroken;
    }
    return Loaded;
}

} // namespace StorageFuzz
