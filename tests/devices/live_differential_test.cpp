// The live directory drive against the real file system: random sequences
// of changes under both change sources, then the drive's pool compared with
// a fresh walk of the tree. A failure names its seed and the shortest
// sequence that still fails; sequences found that way stay here as cases.
#include "support/TestEnvironment.h"
#include "support/ZLiveDifferential.h"

#include <QFile>

#include <gtest/gtest.h>

#include <string>

using namespace LiveDifferential;
using Source = Platform::ZLiveDirectoryVolume::Source;

namespace {

constexpr uint64_t kSeeds = 60;

std::string base() { return QFile::encodeName(TestSupport::freshDir(QStringLiteral("differential"))).toStdString(); }

// Faults found before; each must stay mended.
const Sequence kFound[] = {
    // A folder renamed before the drive read of its creation: its files were lost.
    {{Op::Open}, {Op::Hold}, {Op::Mkdir, "d"}, {Op::Create, "d/f", {}, 3}, {Op::Settle}, {Op::Rename, "d", "e"},
     {Op::Settle}, {Op::Release}},
    {{Op::Mkdir, "x"}, {Op::Open}, {Op::Hold}, {Op::Mkdir, "x/d"}, {Op::Create, "x/d/f", {}, 3}, {Op::Settle},
     {Op::Rename, "x/d", "x/e"}, {Op::Release}},
    {{Op::Mkdir, "x"}, {Op::Open}, {Op::Hold}, {Op::Subtree, "x/t", {}, 3}, {Op::Create, "x/t/g", {}, 1},
     {Op::Settle}, {Op::Rename, "x/t", "x/tm"}, {Op::Release}},
    {{Op::Open}, {Op::Pause}, {Op::Mkdir, "d"}, {Op::Create, "d/f", {}, 3}, {Op::Rename, "d", "e"}, {Op::Resume}},
    // A record number given to a new folder while the journal still named the former file.
    {{Op::Create, "e", {}, 1959}, {Op::Open}, {Op::Link, "e", "caf\xc3\xa9"}, {Op::Unlink, "e"},
     {Op::RmTree, "caf\xc3\xa9"}, {Op::Settle}, {Op::Mkdir, "e"}},
    // A folder deleted and made again under its name with its inode.
    {{Op::Mkdir, "a"}, {Op::Open}, {Op::Mkdir, "a/n"}, {Op::Settle}, {Op::Pause}, {Op::RmTree, "a/n"},
     {Op::Subtree, "a/n", {}, 4}, {Op::Resume}},
    // An exchange of a file and a folder with a change inside the folder
    // queued: the change's folder stayed stale and the queue counted as lost.
    {{Op::Create, "h", {}, 3492}, {Op::Mkdir, "d"}, {Op::Create, "d/f", {}, 3103}, {Op::Open}, {Op::Chmod, "d/f", {}, 0755},
     {Op::Exchange, "h", "d"}},
    // New subtrees renamed while the walk of them ran by path.
    {{Op::Open}, {Op::Subtree, "d", {}, 3}, {Op::Rename, "d", ".dot"}},
    {{Op::Mkdir, "c"}, {Op::Open}, {Op::Subtree, "d", {}, 3}, {Op::Subtree, "c/d", {}, 4}, {Op::Rename, "c/d", "d/c"}},
    // A file moved into a folder that was renamed to the file's old name
    // before either was read: the folder was filed twice and lost its watch.
    {{Op::Create, "l", {}, 215}, {Op::Mkdir, "c"}, {Op::Open}, {Op::Link, "l", "c/l"}, {Op::Rename, "l", "c/f"},
     {Op::Rename, "c", "l"}, {Op::Settle}, {Op::Truncate, "l/l", {}, 102}, {Op::Settle}, {Op::Create, "l/f", {}, 5190}},
    // Hard-linked files exchanged: the exchange's second half, read after the
    // first had been brought in line, moved a name back.
    {{Op::Create, "x", {}, 823}, {Op::Create, "y", {}, 607}, {Op::Mkdir, "e"}, {Op::Link, "x", "g"},
     {Op::Link, "y", "e/f"}, {Op::Open}, {Op::Link, "x", "e/c"}, {Op::Exchange, "e/c", "e/f"}, {Op::Settle},
     {Op::Exchange, "x", "e/c"}},
    // A new subtree moved in from outside and another moved out at once.
    {{Op::Mkdir, "a"}, {Op::Open}, {Op::Pause}, {Op::Subtree, "@/o", {}, 3}, {Op::Rename, "@/o", "a/o"},
     {Op::Rename, "a", "@/a"}, {Op::Resume}},
};

class LiveDifferentialTest : public ::testing::TestWithParam<Source> {
protected:
    void SetUp() override
    {
        root = base();
        if (GetParam() == Source::Fanotify && !fanotifyPermitted(root))
            GTEST_SKIP() << "fanotify file-system marks are not permitted here";
        options.source = GetParam();
    }
    // Fails with the shortest sequence that still gives a silent difference.
    void expectHonest(const Sequence& ops, const std::string& what)
    {
        const Outcome o = run(root, ops, options);
        if (o.honest())
            return;
        const Sequence shortest = shrink(ops, [&](const Sequence& s) { return !run(root, s, options).honest(); });
        ADD_FAILURE() << what << ": " << o.difference << "\n  sequence: " << describe(ops)
                      << "\n  shortest: " << describe(shortest);
    }
    std::string root;
    Options options;
};

} // namespace

TEST_P(LiveDifferentialTest, FoundSequencesStayExact)
{
    for (const Sequence& ops : kFound) {
        const Outcome o = run(root, ops, options);
        EXPECT_TRUE(o.exact) << o.difference << "\n  sequence: " << describe(ops);
    }
}

TEST_P(LiveDifferentialTest, RandomSequencesEndExact)
{
    for (uint64_t seed = 1; seed <= kSeeds; ++seed) {
        const Sequence ops = generate(seed);
        const Outcome o = run(root, ops, options);
        // A rebuild said (rare: renames that outrun the stale-event rounds) is honest; a silent difference is not.
        if (!o.honest())
            expectHonest(ops, "seed " + std::to_string(seed));
    }
}

// With a tiny event queue, or (inotify) watches for two folders only, a drive
// is either exact or says that it must be rebuilt.
TEST_P(LiveDifferentialTest, TinyLimitsAreExactOrReported)
{
    for (uint64_t seed = 1; seed <= kSeeds / 2; ++seed) {
        options.eventQueueLimit = seed % 2 ? 3 : 0;
        options.watchLimit = seed % 2 || GetParam() == Source::Fanotify ? 0 : 2;
        expectHonest(generate(seed), "seed " + std::to_string(seed) + " queue " +
                                         std::to_string(options.eventQueueLimit) + " watches " +
                                         std::to_string(options.watchLimit));
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, LiveDifferentialTest, ::testing::Values(Source::Inotify, Source::Fanotify),
                         [](const ::testing::TestParamInfo<Source>& i) {
                             return std::string(i.param == Source::Inotify ? "Inotify" : "Fanotify");
                         });
