// The recording stand-in of the telemetry library (ZTALLY_TEST_PLUGIN): it
// is found as operation/cas/libztally.so under the "ProgramPath" value and
// logs every call it gets to the file ZTALLY_TEST_LOG names, one a line.
#pragma once

#include "platform/windows.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QSettings>

#include <cstdlib>
#include <string>
#include <vector>

namespace TelemetryStandIn {

inline void setProgramPath(const QString& value)
{
    QSettings ini(Platform::registryHivePath(HKEY_LOCAL_MACHINE), QSettings::IniFormat);
    ini.setValue(Platform::registryGroup(QStringLiteral("SOFTWARE\\orvanta\\Antivirus")) + QStringLiteral("/ProgramPath"),
                 value);
    ini.sync();
}

// A fresh folder with the stand-in as operation/cas/libztally.so (and, if asked, libztally.so).
inline QString folderWithLibrary(const QString& name, bool alsoAtTop = false)
{
    const QString folder = TestSupport::freshDir(name);
    QDir().mkpath(folder + QStringLiteral("/operation/cas"));
    QFile::link(QStringLiteral(ZTALLY_TEST_PLUGIN), folder + QStringLiteral("/operation/cas/libztally.so"));
    if (alsoAtTop)
        QFile::link(QStringLiteral(ZTALLY_TEST_PLUGIN), folder + QStringLiteral("/libztally.so"));
    return folder;
}

// The stand-in's log in the test's own folder.
inline QString logPath(const QString& name = QStringLiteral("tally.log"))
{
    return TestSupport::testRoot() + QLatin1Char('/') + name;
}

// Points the stand-in at logPath(name) and sets its mode ("ok", "noinit", "null").
inline void useLog(const QString& name = QStringLiteral("tally.log"), const char* mode = "ok")
{
    setenv("ZTALLY_TEST_LOG", QFile::encodeName(logPath(name)).constData(), 1);
    setenv("ZTALLY_TEST_MODE", mode, 1);
}

// The stand-in under "ProgramPath", logging to logPath(name).
inline void install(const QString& name = QStringLiteral("tally.log"), const char* mode = "ok")
{
    setProgramPath(folderWithLibrary(QStringLiteral("program")));
    useLog(name, mode);
}

// The lines logged so far, as written (a value may end in a space).
inline std::vector<std::string> logLines(const QString& name = QStringLiteral("tally.log"))
{
    std::vector<std::string> lines;
    QFile f(logPath(name));
    for (const QByteArray& line : f.open(QIODevice::ReadOnly) ? f.readAll().split('\n') : QList<QByteArray>())
        if (!line.isEmpty())
            lines.push_back(line.toStdString());
    return lines;
}

} // namespace TelemetryStandIn
