// Changes from inotify: one watch on every directory of the tree. A moved
// name's two events (same cookie) become one rename; a name moved out of the
// tree, or in from outside it, is a name to look at again.
#pragma once

#include "devices/live/ZLiveChangeSource.h"
#include "devices/live/ZLiveDirectoryMap.h"

#include <string>

namespace Platform {

class ZInotifySource : public ZLiveChangeSource {
public:
    // watchLimit: watches beyond this many fail as the kernel's limit does
    // (ENOSPC); 0 leaves only the kernel's.
    explicit ZInotifySource(size_t watchLimit = 0) : watchLimit_(watchLimit) {}
    ~ZInotifySource() override;
    const char* name() const override { return "inotify"; }
    bool start(const std::string& root) override;
    bool watchDirectory(int dirFd, DWORD record) override;
    void forgetDirectory(DWORD record) override;
    void renumberDirectory(DWORD provisional, DWORD record) override;
    int fd() const override { return fd_; }
    void readEvents(std::vector<LiveEvent>& out) override;

private:
    struct PendingMove {
        bool valid = false;
        uint32_t cookie = 0;
        DWORD directory = 0;
        std::string name;
    };
    void flushPendingMove(std::vector<LiveEvent>& out);
    // The events queued now, a move's first half left pending at the end.
    void readQueued(std::vector<LiveEvent>& out);

    size_t watchLimit_ = 0;
    int fd_ = -1;
    ZLiveDirectoryMap<int> directories_;   // watch descriptor <-> record
    PendingMove pendingMove_;
};

} // namespace Platform
