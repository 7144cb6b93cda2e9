#include "platform/windows.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Another process that holds the flock on path until told to let go.
class LockHolder {
public:
    explicit LockHolder(const QString& path)
    {
        int ready[2];
        if (pipe(ready) != 0 || pipe(release_) != 0)
            return;
        const QByteArray native = QFile::encodeName(path);
        pid_ = fork();
        if (pid_ == 0) {
            const int fd = ::open(native.constData(), O_RDWR | O_CREAT, 0644);
            const char ok = (fd >= 0 && ::flock(fd, LOCK_EX) == 0) ? 1 : 0;
            (void)!::write(ready[1], &ok, 1);
            char c;
            (void)!::read(release_[0], &c, 1);
            _exit(0);
        }
        char ok = 0;
        held_ = ::read(ready[0], &ok, 1) == 1 && ok == 1;
        ::close(ready[0]);
        ::close(ready[1]);
    }
    ~LockHolder() { release(); }
    bool held() const { return held_; }
    void release()
    {
        if (pid_ <= 0)
            return;
        (void)!::write(release_[1], "x", 1);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int release_[2] = {-1, -1};
    bool held_ = false;
};

const char kInstanceName[] = "{430724BB-B7C6-46B6-8CF0-01F0A60D0A57}";

} // namespace

TEST(NamedMutex, NamesMapToLockFiles)
{
    EXPECT_EQ(Platform::mutexLockPath(QStringLiteral("Global\\/srv/log/a.a.log")), QStringLiteral("/srv/log/a.a.log"));
    EXPECT_EQ(Platform::mutexLockPath(QLatin1String(kInstanceName)),
              QDir::tempPath() + QLatin1Char('/') + QLatin1String(kInstanceName));
    EXPECT_EQ(Platform::mutexLockPath(QStringLiteral("Local\\a\\b")), QDir::tempPath() + QStringLiteral("/a_b"));
}

TEST(NamedMutex, SecondCreateInTheProcessSeesItExisting)
{
    HANDLE a = CreateMutexW(nullptr, FALSE, u"Global\\sync-test-a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    HANDLE b = CreateMutexA(nullptr, FALSE, "Global\\sync-test-a");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    // One mutex behind both handles: recursive for its owner.
    EXPECT_EQ(WaitForSingleObject(a, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(b));
    EXPECT_TRUE(ReleaseMutex(a));
    EXPECT_FALSE(ReleaseMutex(a));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
    CloseHandle(a);
    CloseHandle(b);
}

TEST(NamedMutex, OnlyTheOwnerReleasesAndOthersWait)
{
    HANDLE m = CreateMutexW(nullptr, TRUE, u"sync-test-owner");
    ASSERT_NE(m, nullptr);
    std::thread([&] {
        EXPECT_EQ(WaitForSingleObject(m, 20), WAIT_TIMEOUT);
        EXPECT_FALSE(ReleaseMutex(m));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
    }).join();
    EXPECT_TRUE(ReleaseMutex(m));
    std::thread([&] {
        EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(m));
    }).join();
    CloseHandle(m);
}

TEST(NamedMutex, ExcludesThreads)
{
    HANDLE m = CreateMutexW(nullptr, FALSE, u"sync-test-threads");
    ASSERT_NE(m, nullptr);
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 500; ++i) {
                ASSERT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
                const int seen = counter;
                std::this_thread::yield();
                counter = seen + 1;
                ReleaseMutex(m);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 2000);
    CloseHandle(m);
}

TEST(NamedMutex, AnotherProcessHoldingTheLockIsSeenAndWaitedFor)
{
    const QString path = Platform::mutexLockPath(QStringLiteral("sync-test-process"));
    LockHolder other(path);
    ASSERT_TRUE(other.held());
    HANDLE m = CreateMutexW(nullptr, FALSE, u"sync-test-process");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(m, 30), WAIT_TIMEOUT);
    other.release();
    EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);
}

TEST(SingleInstance, HeldElsewhereMeansAlreadyExists)
{
    const QString path = Platform::mutexLockPath(QLatin1String(kInstanceName));
    {
        LockHolder other(path);
        ASSERT_TRUE(other.held());
        HANDLE h = Platform::createSingleInstanceMutex(kInstanceName);
        EXPECT_NE(h, nullptr);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
        CloseHandle(h);
    }
    // Free again: this process takes it and keeps it while the handle lives.
    HANDLE h = Platform::createSingleInstanceMutex(kInstanceName);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
    CloseHandle(h);
    EXPECT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    ::close(fd);
}

TEST(NamedMutex, UnusableNamesFailCleanly)
{
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, nullptr), nullptr);
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"Global\\/nonexistent-folder/x/y.lock"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_FALSE(ReleaseMutex(nullptr));
}

TEST(Threads, BeginThreadRunsAndCanBeWaitedOn)
{
    static std::atomic<DWORD> ranOn{0};
    static int result = 0;
    const uintptr_t h = _beginthreadex(
        nullptr, 0, [](void* arg) -> unsigned {
            ranOn = GetCurrentThreadId();
            *static_cast<int*>(arg) = 42;
            return 0;
        },
        &result, 0, nullptr);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(h), INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(result, 42);
    EXPECT_NE(ranOn.load(), 0u);
    EXPECT_NE(ranOn.load(), GetCurrentThreadId());
    EXPECT_TRUE(CloseHandle(reinterpret_cast<HANDLE>(h)));
    EXPECT_EQ(GetCurrentThreadId(), DWORD(::syscall(SYS_gettid)));
}
