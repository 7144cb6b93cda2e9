// Replays the pool-loader fuzz corpus, and a bounded run of random
// mutations of it, through the same entry the libFuzzer target uses.
#include "storage_pool_load_input.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <gtest/gtest.h>

using StorageFuzz::loadPoolInput;

namespace {

QList<QPair<QString, QByteArray>> corpus()
{
    QList<QPair<QString, QByteArray>> files;
#ifdef STORAGE_FUZZ_CORPUS
    QDir dir(QStringLiteral(STORAGE_FUZZ_CORPUS));
    for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
        QFile f(dir.filePath(name));
        if (f.open(QIODevice::ReadOnly))
            files.append(qMakePair(name, f.readAll()));
    }
#endif
    return files;
}

StorageFuzz::Outcome run(const QByteArray& bytes)
{
    return loadPoolInput(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
}

} // namespace

TEST(StorageFuzzCorpus, SeedsLoadOrFailAsNamed)
{
    const auto files = corpus();
    if (files.isEmpty())
        GTEST_SKIP() << "no corpus";
    int named = 0;
    for (const auto& file : files) {
        const StorageFuzz::Outcome outcome = run(file.second);
        EXPECT_NE(outcome, StorageFuzz::RoundTripBroken) << file.first.toStdString();
        if (file.first.startsWith(QLatin1String("ok-"))) {
            EXPECT_EQ(outcome, StorageFuzz::Loaded) << file.first.toStdString();
            ++named;
        } else if (file.first.startsWith(QLatin1String("bad-"))) {
            EXPECT_EQ(outcome, StorageFuzz::Rejected) << file.first.toStdString();
            ++named;
        }
    }
    EXPECT_GE(named, 7);
}

TEST(StorageFuzzCorpus, MutatedSeedsNeverBreakTheLoader)
{
    const auto files = corpus();
    if (files.isEmpty())
        GTEST_SKIP() << "no corpus";
    QRandomGenerator random(20261206);
    int loaded = 0, rejected = 0;
    for (const auto& file : files) {
        for (int round = 0; round < 300; ++round) {
            QByteArray bytes = file.second;
            const int edits = 1 + random.bounded(4);
            for (int e = 0; e < edits && !bytes.isEmpty(); ++e) {
                const int at = random.bounded(bytes.size());
                switch (random.bounded(3)) {
                case 0: bytes[at] = char(random.bounded(256)); break;
                case 1: bytes.truncate(at); break;
                default: bytes.insert(at, char(random.bounded(256))); break;
                }
            }
            const StorageFuzz::Outcome outcome = run(bytes);
            ASSERT_NE(outcome, StorageFuzz::RoundTripBroken) << file.first.toStdString() << " round " << round;
            (outcome == StorageFuzz::Loaded ? loaded : rejected)++;
        }
    }
    EXPECT_GT(rejected, 0);
    EXPECT_GT(loaded, 0);
}
