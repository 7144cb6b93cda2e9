// Running built programs as processes from a private copy, so that their
// log folder and plug-ins are the test's own.
#pragma once

#include "platform/windows.h"
#include "support/TestEnvironment.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace FrameTest {

struct ProcessResult {
    int exitCode = -1;
    bool finished = false;
    QByteArray out;
    QByteArray err;
};

// Copies the program (and, when given, a library beside it) into a fresh
// folder; returns the copied program's path.
inline QString copyProgram(const QString& program, const QString& name, const QString& library = QString())
{
    const QString dir = TestSupport::freshDir(name);
    const QString target = dir + QLatin1Char('/') + QFileInfo(program).fileName();
    QFile::copy(program, target);
    if (!library.isEmpty())
        QFile::copy(library, dir + QLatin1Char('/') + QFileInfo(library).fileName());
    return target;
}

inline QProcess* startProgram(const QString& program, const QStringList& args,
                              const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    auto* p = new QProcess;
    QProcessEnvironment e = env;
    e.remove(QStringLiteral("LD_LIBRARY_PATH"));
    p->setProcessEnvironment(e);
    p->start(program, args);
    return p;
}

inline ProcessResult finish(QProcess* p)
{
    ProcessResult r;
    r.finished = p->waitForFinished(60000);
    r.exitCode = p->exitStatus() == QProcess::NormalExit ? p->exitCode() : -1;
    r.out = p->readAllStandardOutput();
    r.err = p->readAllStandardError();
    delete p;
    return r;
}

inline ProcessResult runProgram(const QString& program, const QStringList& args,
                                const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    return finish(startProgram(program, args, env));
}

// The log file of a copied program: log/<name>.<name>.log beside it.
inline QString logFileOf(const QString& program)
{
    const QFileInfo info(program);
    return info.absolutePath() + QStringLiteral("/log/") + info.completeBaseName() + QLatin1Char('.')
           + info.fileName() + QStringLiteral(".log");
}

inline QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// A hive file written by hand, as an administrator would.
inline bool writeHive(HKEY hive, const QByteArray& text)
{
    const QString path = Platform::registryHivePath(hive);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && writeFile(path, text);
}

} // namespace FrameTest
