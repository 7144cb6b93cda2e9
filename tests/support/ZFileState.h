// What stands at a path, to tell it was left alone: inode, mode, owner, and
// what it holds (a regular file; a FIFO is not opened) or points at (a link).
#pragma once

#include <QFile>

#include <sys/stat.h>

namespace TestSupport {

inline QByteArray fileState(const QString& path)
{
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return "missing";
    const QByteArray state = QByteArray::number(qulonglong(st.st_ino)) + ' ' + QByteArray::number(st.st_mode, 8) + ' '
        + QByteArray::number(st.st_uid) + ' ';
    if (S_ISLNK(st.st_mode))
        return state + QFile::encodeName(QFile::symLinkTarget(path));
    QFile f(path);
    return S_ISREG(st.st_mode) && f.open(QIODevice::ReadOnly) ? state + f.readAll() : state;
}

} // namespace TestSupport
