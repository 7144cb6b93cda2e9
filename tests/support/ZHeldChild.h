// A child process, of this user or of the other user, that holds something
// (a lock, a name) until the test lets it go: it runs hold() and reports
// whether that worked, then serve(releaseFd) until release() (or the end of
// the object) closes the pipe that fd reads.
#pragma once

#include "support/ZOtherUser.h"

#include <functional>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

class ZHeldChild {
public:
    enum class As { ThisUser, OtherUser };

    static void waitForRelease(int releaseFd)
    {
        char byte = 0;
        (void)!::read(releaseFd, &byte, 1);
    }

    ZHeldChild(As user, const std::function<bool()>& hold,
               const std::function<void(int)>& serve = &ZHeldChild::waitForRelease)
    {
        int ready[2];
        if (::pipe(ready) != 0)
            return;
        if (::pipe(release_) != 0) {
            ::close(ready[0]);
            ::close(ready[1]);
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            ::close(ready[0]);
            ::close(release_[1]);
            const bool ok = (user == As::ThisUser
                             || (setgroups(0, nullptr) == 0 && setgid(OtherUser::kGid) == 0
                                 && setuid(OtherUser::kUid) == 0))
                            && hold();
            (void)!::write(ready[1], ok ? "1" : "0", 1);
            if (ok)
                serve(release_[0]);
            _exit(0);
        }
        ::close(ready[1]);
        ::close(release_[0]);
        char byte = 0;
        held = pid_ > 0 && ::read(ready[0], &byte, 1) == 1 && byte == '1';
        ::close(ready[0]);
    }
    ~ZHeldChild() { release(); }
    ZHeldChild(const ZHeldChild&) = delete;
    ZHeldChild& operator=(const ZHeldChild&) = delete;

    // Lets the child go and waits for its end.
    void release()
    {
        if (release_[1] >= 0)
            ::close(release_[1]);
        release_[1] = -1;
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    bool held = false;

private:
    pid_t pid_ = -1;
    int release_[2] = {-1, -1};
};
