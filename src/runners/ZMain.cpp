// The program entry behind main(): the crash-dump monitor first, then the
// runner named by the first argument. The exit code is always 0.
#include "diagnostics/ZDumpMonitor.h"
#include "frame/ZRunnerTable.h"

#include <QDebug>

int searchMain(int argc, char** argv)
{
    SearchEngine::startDumpMonitor();
    if (argc < 2) {
        qDebug() << "Please Input UnitTest Name!";
        return 0;
    }
    if (const SearchEngine::Runner* runner = SearchEngine::findRunner(QString(argv[1]))) {
        // The runner's own result is not the exit code.
        (*runner)(argc, argv);
        return 0;
    }
    qDebug() << "Not Exist UnitTest: " << argv[1] << "!";
    return 0;
}
