// The "TestDriveVolume" runner: one volume thread for drive C: beside a small
// window whose three buttons open, write and close a test file, so that a
// tester can make changes while watching the volume thread's log.
#pragma once

#include <QString>
#include <QWidget>

class QFile;
class QPushButton;

namespace SearchEngine {

// The window: "打开文件" opens the file write-only (truncating it), "写入文件"
// writes "aaa", "关闭文件" closes it.
class ZTestFileWindow : public QWidget {
public:
    // windowsPath names the file as the tester knows it ("E:\abc.txt").
    explicit ZTestFileWindow(const QString& windowsPath);

    QFile* file() const { return file_; }
    QPushButton* openButton() const { return open_; }
    QPushButton* writeButton() const { return write_; }
    QPushButton* closeButton() const { return close_; }

private:
    QFile* file_;  // never deleted, like the window's whole life
    QPushButton* open_;
    QPushButton* write_;
    QPushButton* close_;
};

// The folder of the file system behind drive `letter` when the drive table
// maps it to a directory (a live directory volume); empty otherwise.
QString driveDirectory(QChar letter);
// "X:\a\b" as a path on this machine through the drive table; empty when the
// drive is not a directory of this machine.
QString pathOnDrive(const QString& windowsPath);

int runDriveVolumeWindow(int argc, char** argv);

} // namespace SearchEngine
