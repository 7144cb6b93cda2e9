// Changes from fanotify: one mark on the whole file system, events reported
// with the directory's file handle and the entry's name (FAN_REPORT_DFID_NAME),
// a rename as one event with both names (FAN_RENAME). Directories are known
// by their handles; events in directories outside the tree are dropped, and a
// rename with only one side in the tree is a move in or out of it. Needs
// CAP_SYS_ADMIN and a file system that gives file handles.
#pragma once

#include "devices/live/ZLiveChangeSource.h"
#include "devices/live/ZLiveDirectoryMap.h"

#include <string>

namespace Platform {

class ZFanotifySource : public ZLiveChangeSource {
public:
    ~ZFanotifySource() override;
    const char* name() const override { return "fanotify"; }
    bool start(const std::string& root) override;
    bool watchDirectory(int dirFd, DWORD record) override;
    void forgetDirectory(DWORD record) override;
    void renumberDirectory(DWORD provisional, DWORD record) override;
    int fd() const override { return fd_; }
    void readEvents(std::vector<LiveEvent>& out) override;

private:
    int fd_ = -1;
    ZLiveDirectoryMap<std::string> directories_;   // handle <-> record
};

} // namespace Platform
