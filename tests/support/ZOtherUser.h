// Attacks by another local user: a function run in a child process that has
// become the unprivileged user "nobody", and a world-writable temporary
// folder (sticky, as /tmp is) inside this test's private folders for the
// service and the attacker to share.
#pragma once

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QString>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

namespace OtherUser {

// The user the attacks run as.
constexpr uid_t kUid = 65534;
constexpr gid_t kGid = 65534;

// Why attacks cannot run here (empty when they can): switching user needs root.
inline QString unavailable()
{
    return geteuid() == 0 ? QString() : QStringLiteral("switching to another user needs root");
}

// A sticky world-writable folder another user can reach: the test root is
// opened for search (not for listing) on the way to it.
inline QString publicTempFolder()
{
    const QString root = TestSupport::testRoot();
    ::chmod(QFile::encodeName(root).constData(), 0711);
    const QString dir = root + QStringLiteral("/public-tmp");
    QDir().mkpath(dir);
    ::chmod(QFile::encodeName(dir).constData(), 01777);
    return dir;
}

// Runs attack() as the other user in a child process; its return value is
// the child's exit status (-1 when the child could not be run or died).
inline int runAs(const std::function<int()>& attack)
{
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kGid) != 0 || setuid(kUid) != 0)
            _exit(127);
        _exit(attack() & 0xff);
    }
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace OtherUser
