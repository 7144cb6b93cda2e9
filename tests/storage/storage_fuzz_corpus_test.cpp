// Replays the pool-loader fuzz corpus through the same entry the libFuzzer
// target uses: every seed loads or is refused as its name says, and none
// breaks the save-and-load round trip (new inputs come from fuzz runs).
#include "storage_pool_load_input.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace StorageFuzz;

TEST(StorageFuzzCorpus, SeedsLoadOrFailAsNamed)
{
#ifndef STORAGE_FUZZ_CORPUS
    GTEST_SKIP() << "no corpus";
#else
    QDir dir(QStringLiteral(STORAGE_FUZZ_CORPUS));
    int named = 0, seeds = 0;
    for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
        SCOPED_TRACE(name.toStdString());
        QFile f(dir.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray seed = f.readAll();
        const Outcome outcome = loadPoolInput(reinterpret_cast<const uint8_t*>(seed.constData()), size_t(seed.size()));
        EXPECT_NE(outcome, RoundTripBroken);
        ++seeds;
        if (name.startsWith(QLatin1String("ok-")) || name.startsWith(QLatin1String("bad-"))) {
            EXPECT_EQ(outcome, name.startsWith(QLatin1String("ok-")) ? Loaded : Rejected);
            ++named;
        }
    }
    EXPECT_GE(named, 7);
    EXPECT_GT(seeds, named);
#endif
}
