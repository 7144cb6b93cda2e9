// The program entry behind main(): the crash-dump monitor first, then the
// runner named by the first argument. The exit code is the runner's (the
// service's is not 0 only after a failure, so that systemd restarts it);
// 0 when no runner ran.
#include "diagnostics/ZDumpMonitor.h"
#include "frame/ZRunnerTable.h"

#include <QDebug>

#include <cstdio>
#include <cstring>

namespace {

// What the runners are, for a user who asks or gives none we know.
const char kUsage[] = "usage: searchservice TestService       run the service on its drives\n"
                      "       searchservice TestSharedPool    ends at once (the program starts)\n"
                      "       searchservice TestDriveVolume   the drives in a window (desktop builds)\n";

bool asksForHelp(const char* arg)
{
    return std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0;
}

} // namespace

int searchMain(int argc, char** argv)
{
    SearchEngine::startDumpMonitor();
    if (argc < 2) {
        qDebug() << "Please Input UnitTest Name!";
        std::fputs(kUsage, stderr);
        return 0;
    }
    if (asksForHelp(argv[1])) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (const SearchEngine::Runner* runner = SearchEngine::findRunner(QString(argv[1])))
        return (*runner)(argc, argv);
    qDebug() << "Not Exist UnitTest: " << argv[1] << "!";
    std::fputs(kUsage, stderr);
    return 0;
}
