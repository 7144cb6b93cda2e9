// Timing program: a generated tree of many files (default one million) read
// by the live directory volume, open + walk + MFT enumeration into a drive's
// pool, side by side in one run with `find -xdev -printf '%s %T@ %C@\n'`
// (the same metadata read) and plocate's updatedb where installed. Prints the
// ratios, the peak memory per file, then the sustained rate of changes
// followed (create / rename / delete bursts, each checked for losses).
// Between the two: a stop, changes made while the drive is down (sizes,
// renames, creations, deletions), and a restart from the kept state and the
// drive cache to all-ready, then the time until the walk after the restart
// has delivered every difference (beside find on the same tree); and the
// size of the state a directory drive keeps between runs, per file.
//
//   live_walk_bench [files] [tree folder to use or make (kept)] [walk-only]
#include "BenchTiming.h"
#include "platform/ZDriveTable.h"
#include "devices/live/ZLiveDirectoryVolume.h"
#include "devices/live/ZLiveIdentitySnapshot.h"
#include "devices/live/ZLiveNameCodec.h"
#include "volume/ZDriveVolume.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <thread>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>

using Platform::ZLiveDirectoryVolume;
using SearchEngine::ZDriveVolume;

namespace {

constexpr char16_t kDrive = u'L';
constexpr unsigned kFilesPerFolder = 100;
constexpr unsigned kFoldersPerFolder = 100;
constexpr unsigned kMaxFileSize = 200000;
constexpr unsigned kBurst = 10000;
constexpr int kBursts = 3;
constexpr int kSettleMs = 600000;
const char kCompleteMark[] = "/.complete";

// Runs a shell command line, timed; negative when it failed.
double timed(const std::string& command)
{
    const auto start = std::chrono::steady_clock::now();
    const int rc = std::system(command.c_str());
    const double s = secondsSince(start);
    return (rc == -1 || !WIFEXITED(rc) || WEXITSTATUS(rc) != 0) ? -s : s;
}

std::string quoted(const std::string& s)
{
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool touchFile(const std::string& path, off_t size)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const bool ok = size == 0 || ftruncate(fd, size) == 0;   // sparse: sizes without data
    ::close(fd);
    return ok;
}

// files files in folders of kFilesPerFolder, two levels of folders.
bool generate(const std::string& root, unsigned files)
{
    if (access((root + kCompleteMark).c_str(), F_OK) == 0)
        return true;
    std::mt19937 random(7);
    const auto start = std::chrono::steady_clock::now();
    mkdir(root.c_str(), 0755);
    unsigned made = 0;
    for (unsigned top = 0; made < files; ++top) {
        const std::string a = root + "/group " + std::to_string(top);
        mkdir(a.c_str(), 0755);
        for (unsigned mid = 0; mid < kFoldersPerFolder && made < files; ++mid) {
            const std::string b = a + "/folder-" + std::to_string(mid);
            mkdir(b.c_str(), 0755);
            for (unsigned i = 0; i < kFilesPerFolder && made < files; ++i, ++made) {
                const std::string name = b + "/file_" + std::to_string(made) + (i % 3 ? ".txt" : ".data.bin");
                if (!touchFile(name, off_t(random() % kMaxFileSize)))
                    return false;
            }
        }
    }
    touchFile(root + kCompleteMark, 0);
    std::printf("tree: %u files made in %.1f s\n", files, secondsSince(start));
    return true;
}

// Names the volume holds in one folder.
size_t namesIn(const Platform::ZEmulatedNtfsVolume& v, DWORD folder, const char* prefix)
{
    size_t n = 0;
    const std::u16string p = Platform::liveNameToUtf16(std::string(prefix));
    v.forEachLink([&](DWORD, DWORD parent, const std::u16string& name) {
        if (parent == folder && name.compare(0, p.size(), p) == 0)
            ++n;
    });
    return n;
}

// The bytes of the state files in folder.
double stateBytes(const QString& folder)
{
    double bytes = 0;
    for (const QFileInfo& f : QDir(folder).entryInfoList({QStringLiteral("Live*.dat")}, QDir::Files))
        bytes += double(f.size());
    return bytes;
}

// Resident bytes per file once freed heap is given back.
double residentAfter(unsigned files)
{
    malloc_trim(0);
    return residentKilobytes() * 1024.0 / std::max(1u, files);
}

template <typename P>
bool waitFor(P done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSettleMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// The live device of root (keeping its state in stateFolder) and its drive's
// thread run to all-ready: a build saved to the drive cache, or the cache
// taken up. delivered: seconds from the open until the drive has read every
// journal record the device wrote (the walk after a restart included).
struct Opened {
    std::shared_ptr<ZLiveDirectoryVolume> live;
    std::unique_ptr<ZDriveVolume> drive;
    double openSeconds = 0;
    double readySeconds = 0;
    double walkedSeconds = 0;      // the walk after a restart done, its records written
    double deliveredSeconds = 0;
};

bool openToReady(const std::string& root, const QString& stateFolder, Opened& out)
{
    const auto openStart = std::chrono::steady_clock::now();
    QString error;
    ZLiveDirectoryVolume::Options options;
    options.stateFolder = stateFolder;
    options.stateName = QString(QChar(kDrive));
    out.live = ZLiveDirectoryVolume::open(QFile::decodeName(root.c_str()), options, &error);
    if (!out.live) {
        std::fprintf(stderr, "open: %s\n", qPrintable(error));
        return false;
    }
    out.openSeconds = secondsSince(openStart);
    Platform::ZDriveTable::instance().setDrive(kDrive, out.live);
    out.drive = std::make_unique<ZDriveVolume>(kDrive);
    out.drive->start();
    if (!waitFor([&] { return out.drive->isInitDone() || out.drive->isFinished(); }) || !out.drive->isInitDone()) {
        std::fprintf(stderr, "the drive was not announced\n");
        return false;
    }
    out.readySeconds = secondsSince(openStart);
    out.live->settle(kSettleMs);
    out.walkedSeconds = secondsSince(openStart);
    waitFor([&] { return out.live->volume().journalReadWaitingAtEnd(); });
    out.deliveredSeconds = secondsSince(openStart);
    return true;
}

// Changes made while the drive is down: every hundredth file grown, renamed,
// or removed, and as many new files.
unsigned changeWhileDown(const std::string& root, unsigned files)
{
    unsigned changed = 0;
    unsigned made = 0;
    for (unsigned top = 0; made < files; ++top) {
        for (unsigned mid = 0; mid < kFoldersPerFolder && made < files; ++mid) {
            const std::string b = root + "/group " + std::to_string(top) + "/folder-" + std::to_string(mid);
            for (unsigned i = 0; i < kFilesPerFolder && made < files; ++i, ++made) {
                if (made % 100)
                    continue;
                const std::string name = b + "/file_" + std::to_string(made) + (i % 3 ? ".txt" : ".data.bin");
                switch (made / 100 % 4) {
                case 0: truncate(name.c_str(), off_t(kMaxFileSize + made)); break;
                case 1: ::rename(name.c_str(), (name + ".moved").c_str()); break;
                case 2: ::unlink(name.c_str()); break;
                default: touchFile(b + "/new_" + std::to_string(made), 1); break;
                }
                ++changed;
            }
        }
    }
    return changed;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir temp;
    setenv("TMPDIR", temp.path().toLocal8Bit().constData(), 1);
    setenv("XDG_DATA_HOME", temp.path().toLocal8Bit().constData(), 1);   // the drive cache: the run's own
    const unsigned files = argc > 1 ? unsigned(std::strtoul(argv[1], nullptr, 10)) : 1000000u;
    // An empty folder argument means the default: never the tree's folders at "/".
    const std::string root = argc > 2 && argv[2][0] ? std::string(argv[2]) : temp.path().toStdString() + "/tree";
    if (root.empty() || root == "/") {
        std::fprintf(stderr, "the tree folder must be a folder of its own\n");
        return 1;
    }
    if (!generate(root, files)) {
        std::fprintf(stderr, "could not make the tree in %s\n", root.c_str());
        return 1;
    }

    // Warm cache, then the same metadata read by find.
    timed("find " + quoted(root) + " -xdev -printf '%s %T@ %C@\\n' > /dev/null");
    const double findSeconds = timed("find " + quoted(root) + " -xdev -printf '%s %T@ %C@\\n' > /dev/null");
    std::printf("find -xdev -printf:          %7.2f s\n", findSeconds);
    double updatedbSeconds = 0;
    if (std::system("command -v updatedb > /dev/null 2>&1") == 0) {
        updatedbSeconds = timed("updatedb -U " + quoted(root) + " -o " + quoted(temp.path().toStdString() + "/plocate.db")
                                + " -l 0 > /dev/null 2>&1");
        std::printf("updatedb (plocate):          %7.2f s\n", updatedbSeconds);
    } else {
        std::printf("updatedb (plocate):          not installed\n");
    }

    const QString stateFolder = temp.path() + QStringLiteral("/state");
    QDir().mkpath(stateFolder);
    Opened first;
    if (!openToReady(root, stateFolder, first))
        return 1;
    const long peak = peakKilobytes();
    const double ours = first.readySeconds;
    std::printf("live volume (%s): open+walk %.2f s, first build to all-ready %7.2f s\n", first.live->sourceName(),
                first.openSeconds, ours);
    std::printf("ratio to find: %.2fx (target <= 1.2x)", findSeconds > 0 ? ours / findSeconds : 0.0);
    if (updatedbSeconds > 0)
        std::printf(", to updatedb: %.2fx", ours / updatedbSeconds);
    std::printf("\npeak memory: %.1f MiB, %.0f bytes per file (target <= 200, aim 150); resident after the build "
                "%.0f bytes per file\n",
                peak / 1024.0, peak * 1024.0 / std::max(1u, files), residentAfter(files));

    // A stop (the drive cache and the device's state written), changes while
    // down, and a start again from both.
    first.drive.reset();
    Platform::ZDriveTable::instance().removeDrive(kDrive);
    first.live.reset();
    const double kept = stateBytes(stateFolder);
    std::printf("peak memory through the stop (cache and state written): %.0f bytes per file\n",
                peakKilobytes() * 1024.0 / std::max(1u, files));
    std::printf("state kept between runs: %.1f MiB, %.1f bytes per file\n", kept / 1048576.0,
                kept / std::max(1u, files));
    const unsigned changed = changeWhileDown(root, files);
    resetPeak();
    const long baseAgain = peakKilobytes();
    Opened again;
    if (!openToReady(root, stateFolder, again))
        return 1;
    std::printf("restart (%s) to all-ready: %.3f s (device open %.3f s), %.3fx the first build (target <= 0.1x, "
                "aim < 0.2 s)\n",
                again.live->resumed() ? "resumed" : "NOT RESUMED: rebuilt", again.readySeconds, again.openSeconds,
                ours > 0 ? again.readySeconds / ours : 0.0);
    const double findAgain = timed("find " + quoted(root) + " -xdev -printf '%s %T@ %C@\\n' > /dev/null");
    std::printf("%u changes made while down: walked and journaled %.2f s after the open (find -printf %.2f s, "
                "ratio %.2fx), read by the drive %.2f s after the open\n",
                changed, again.walkedSeconds, findAgain, findAgain > 0 ? again.walkedSeconds / findAgain : 0.0,
                again.deliveredSeconds);
    std::printf("peak memory of the restart (above the %.1f MiB left from the first run): %.0f bytes per file; "
                "resident after its walk %.0f bytes per file\n",
                baseAgain / 1024.0, (peakKilobytes() - baseAgain) * 1024.0 / std::max(1u, files),
                residentAfter(files) - baseAgain * 1024.0 / std::max(1u, files));
    auto live = again.live;

    if (argc > 3 && std::string(argv[3]) == "walk-only") {
        again.drive.reset();
        Platform::ZDriveTable::instance().removeDrive(kDrive);
        return 0;
    }
    // Sustained changes: bursts of creations, renames and deletions, each
    // followed to the end and checked.
    const std::string churn = root + "/churn";
    mkdir(churn.c_str(), 0755);
    live->settle(kSettleMs);
    const DWORD churnRecord = live->volume().lookup(Ntfs::RecordRoot, u"churn");
    double changeSeconds = 0;
    unsigned changes = 0;
    bool lost = false;
    for (int burst = 0; burst < kBursts; ++burst) {
        struct Phase {
            const char* name;
            const char* prefix;
            size_t expected;
        };
        const Phase phases[] = {{"create", "c", kBurst}, {"rename", "r", kBurst}, {"delete", "r", 0}};
        for (const Phase& ph : phases) {
            const auto start = std::chrono::steady_clock::now();
            for (unsigned i = 0; i < kBurst; ++i) {
                const std::string c = churn + "/c" + std::to_string(i);
                const std::string r = churn + "/r" + std::to_string(i);
                if (ph.name[0] == 'c')
                    touchFile(c, i);
                else if (ph.name[0] == 'r')
                    ::rename(c.c_str(), r.c_str());
                else
                    ::unlink(r.c_str());
            }
            live->settle(kSettleMs);
            changeSeconds += secondsSince(start);
            changes += kBurst;
            const size_t held = namesIn(live->volume(), churnRecord, ph.prefix);
            if (held != ph.expected) {
                std::printf("burst %d %s: the volume holds %zu names, %zu expected\n", burst, ph.name, held,
                            ph.expected);
                lost = true;
            }
        }
    }
    std::printf("changes followed: %u in %.2f s, %.0f changes/s, %s, %llu overflows\n", changes, changeSeconds,
                changes / changeSeconds, lost ? "SOME LOST" : "none lost",
                static_cast<unsigned long long>(live->overflows()));
    again.drive.reset();
    Platform::ZDriveTable::instance().removeDrive(kDrive);
    return lost ? 1 : 0;
}
