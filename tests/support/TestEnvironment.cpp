#include "support/TestEnvironment.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>

namespace TestSupport {

namespace {

struct PrivateFolders {
    QTemporaryDir root{QDir::tempPath() + QStringLiteral("/searchtest-XXXXXX")};
    PrivateFolders()
    {
        const QString r = root.path();
        const char* names[] = {"HOME", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_HOME",
                               "XDG_RUNTIME_DIR", "TMPDIR"};
        const char* dirs[] = {"home", "config", "etc-xdg", "data", "runtime", "tmp"};
        for (size_t i = 0; i < sizeof(names) / sizeof(names[0]); ++i) {
            const QString d = r + QLatin1Char('/') + QLatin1String(dirs[i]);
            QDir().mkpath(d);
            QFile::setPermissions(d, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
            setenv(names[i], QFile::encodeName(d).constData(), 1);
        }
        // Set by systemd for a unit; it would take the service to that folder.
        unsetenv("RUNTIME_DIRECTORY");
    }
};

// Set up before main() runs any test, so every static sees the private folders.
PrivateFolders& folders()
{
    static PrivateFolders f;
    return f;
}
const bool installed = (folders(), true);

} // namespace

QString testRoot()
{
    return folders().root.path();
}

QString freshDir(const QString& name)
{
    static int serial = 0;
    const QString d = testRoot() + QStringLiteral("/work/%1-%2").arg(name).arg(++serial);
    QDir().mkpath(d);
    return d;
}

} // namespace TestSupport
