// The differential tester's long run: SEQUENCES random sequences from seed
// FIRST on, under one change source, optionally with a tiny event queue
// (QUEUE events) or watch limit (WATCHES folders); with RESTARTS=1 in the
// environment each sequence also stops the drive, changes the tree while it is
// down and opens it again from its kept state (SHOW_CHANGES=1: what a failing
// one's resumed open journaled); with DURING=1 the first tree is larger and
// changes while the drive's first walk runs. Prints every failure with its
// seed and shortest sequence, then the counts.
//
//   live_differential_run SEQUENCES [inotify|fanotify] [FIRST] [QUEUE] [WATCHES]
#include "support/TestEnvironment.h"
#include "support/ZLiveDifferential.h"

#include <QFile>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace LiveDifferential;

int main(int argc, char** argv)
{
    const unsigned long count = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1000;
    Options options;
    const bool fanotify = argc > 2 && std::strcmp(argv[2], "fanotify") == 0;
    options.source = fanotify ? Platform::ZLiveDirectoryVolume::Source::Fanotify
                              : Platform::ZLiveDirectoryVolume::Source::Inotify;
    const uint64_t first = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
    options.eventQueueLimit = argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 0;
    options.watchLimit = argc > 5 ? std::strtoul(argv[5], nullptr, 10) : 0;
    const std::string base = QFile::encodeName(TestSupport::freshDir(QStringLiteral("differential"))).toStdString();
    if (fanotify && !fanotifyPermitted(base)) {
        std::fprintf(stderr, "fanotify file-system marks are not permitted here\n");
        return 2;
    }
    auto flag = [](const char* name) {
        const char* value = std::getenv(name);
        return value && std::strcmp(value, "1") == 0;
    };
    const bool restarts = flag("RESTARTS"), during = flag("DURING");
    const auto start = std::chrono::steady_clock::now();
    unsigned long exact = 0, reported = 0, failed = 0, resumes = 0;
    for (uint64_t seed = first; seed < first + count; ++seed) {
        const Sequence ops = generate(seed, restarts, during);
        if (std::getenv("SHOW_SEQUENCES"))
            std::printf("seed %llu: %s\n", static_cast<unsigned long long>(seed), describe(ops).c_str());
        const Outcome o = run(base, ops, options);
        resumes += o.resumes;
        if (o.exact) {
            ++exact;
        } else if (o.rebuildReported) {
            ++reported;
            if (std::getenv("SHOW_REBUILDS")) {
                std::printf("seed %llu: rebuild reported: %s\n", static_cast<unsigned long long>(seed),
                            o.errors.empty() ? "(nothing logged)" : o.errors.front().c_str());
                std::printf("  %s\n", describe(shrink(ops, [&](const Sequence& s) { return run(base, s, options).rebuildReported; })).c_str());
            }
        } else {
            ++failed;
            const Sequence shortest = shrink(ops, [&](const Sequence& s) { return !run(base, s, options).honest(); });
            std::printf("seed %llu: %s\n  shortest: %s\n", static_cast<unsigned long long>(seed),
                        o.difference.c_str(), describe(shortest).c_str());
            if (std::getenv("SHOW_CHANGES")) {
                const Outcome again = run(base, shortest, options);
                std::printf("  changes after the resumed open of the shortest:");
                for (const std::string& c : again.changes)
                    std::printf(" %s", c.c_str());
                std::printf("\n");
            }
            std::fflush(stdout);
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s%s%s: %lu sequences in %.0f s: %lu exact, %lu rebuilds reported, %lu silently different; "
                "%lu opens resumed from the kept state\n",
                fanotify ? "fanotify" : "inotify", restarts ? " with restarts" : "",
                during ? ", changes during the first walk" : "", count, seconds, exact, reported,
                failed, resumes);
    return failed ? 1 : 0;
}
