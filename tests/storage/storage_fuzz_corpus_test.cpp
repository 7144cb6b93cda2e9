// Replays the pool-loader fuzz corpus, and a bounded run of random
// mutations of it, through the same entry the libFuzzer target uses.
#include "storage_pool_load_input.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

#include <gtest/gtest.h>

using namespace StorageFuzz;

TEST(StorageFuzzCorpus, SeedsLoadOrFailAsNamedAndMutationsNeverBreakTheLoader)
{
#ifndef STORAGE_FUZZ_CORPUS
    GTEST_SKIP() << "no corpus";
#else
    auto run = [](const QByteArray& bytes) {
        return loadPoolInput(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
    };
    QDir dir(QStringLiteral(STORAGE_FUZZ_CORPUS));
    QRandomGenerator random(20261206);
    int named = 0, loaded = 0, rejected = 0;
    for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
        SCOPED_TRACE(name.toStdString());
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray seed = f.readAll();
        const Outcome outcome = run(seed);
        EXPECT_NE(outcome, RoundTripBroken);
        if (name.startsWith(QLatin1String("ok-")) || name.startsWith(QLatin1String("bad-"))) {
            EXPECT_EQ(outcome, name.startsWith(QLatin1String("ok-")) ? Loaded : Rejected);
            ++named;
        }
        for (int round = 0; round < 300; ++round) {
            QByteArray bytes = seed;
            const int edits = 1 + random.bounded(4);
            for (int e = 0; e < edits && !bytes.isEmpty(); ++e) {
                const int at = random.bounded(bytes.size());
                switch (random.bounded(3)) {
                case 0: bytes[at] = char(random.bounded(256)); break;
                case 1: bytes.truncate(at); break;
                default: bytes.insert(at, char(random.bounded(256))); break;
                }
            }
            const Outcome mutated = run(bytes);
            ASSERT_NE(mutated, RoundTripBroken) << "round " << round;
            (mutated == Loaded ? loaded : rejected)++;
        }
    }
    EXPECT_GE(named, 7);
    EXPECT_GT(rejected, 0);
    EXPECT_GT(loaded, 0);
#endif
}
