// One run of the real "searchservice TestService" built beside the test
// program. Its log is what the shared log file gained during the run, kept
// to the lines of the run's main thread (its thread id is the process id):
// other test processes may write the same file meanwhile.
#pragma once

#include "support/ZServiceTestKit.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace ServiceTestKit {

constexpr int kServiceExitTimeoutMs = 10000;

inline QString serviceLogPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/log/searchservice.searchservice.log");
}

class ZServiceProcess {
public:
    ZServiceProcess() : logStart_(QFileInfo(serviceLogPath()).size())
    {
        process.setProgram(builtProgram("searchservice"));
        process.setArguments({QStringLiteral("TestService")});
    }
    ~ZServiceProcess()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(kServiceExitTimeoutMs);
        }
    }

    bool start()
    {
        process.start();
        if (!process.waitForStarted(kServiceExitTimeoutMs))
            return false;
        pid_ = process.processId();
        return true;
    }
    // Serves the event loop until the process ends; false when it still runs.
    bool ends(int timeoutMs = kServiceExitTimeoutMs)
    {
        return spinUntil([&] { return process.state() == QProcess::NotRunning; }, timeoutMs);
    }
    // True when it ended by itself with code 0.
    bool endsCleanly(int timeoutMs = kServiceExitTimeoutMs)
    {
        return ends(timeoutMs) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    // Starts it and connects client, which then has heard that every drive
    // is ready; false when the process fails or ends first.
    bool serves(TestClient& client, int readyTimeoutMs)
    {
        if (!start())
            return false;
        spinUntil([&] { return client.connectByName(200) || !running(); }, kServiceExitTimeoutMs);
        spinUntil([&] { return client.hasAllReady() || !running(); }, readyTimeoutMs);
        return running() && client.hasAllReady();
    }
    bool running() const { return process.state() == QProcess::Running; }
    qint64 pid() const { return pid_; }

    // What the run logged; with allThreads also its drive threads' lines,
    // which may be another process's too.
    QByteArray log(bool allThreads = false) const
    {
        QFile f(serviceLogPath());
        if (!f.open(QIODevice::ReadOnly) || !f.seek(logStart_))
            return QByteArray();
        if (allThreads)
            return f.readAll();
        QByteArray own;
        for (const QByteArray& line : f.readAll().split('\n')) {
            const int bar = line.indexOf('|');
            if (line.startsWith('[') && bar > 0 && line.mid(1, bar - 1).trimmed() == QByteArray::number(pid_))
                own += line + '\n';
        }
        return own;
    }

    QProcess process;

private:
    qint64 logStart_ = 0;
    qint64 pid_ = 0;
};

} // namespace ServiceTestKit
