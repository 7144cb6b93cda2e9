#include "platform/windows.h"
#include "support/TestEnvironment.h"
#include "support/ZFileState.h"
#include "support/ZHeldChild.h"
#include "support/ZOtherUser.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Another process of this user holding the flock on path until released.
ZHeldChild lockHolder(const QString& path)
{
    return ZHeldChild(ZHeldChild::As::ThisUser, [native = QFile::encodeName(path)] {
        return ::flock(::open(native.constData(), O_RDWR | O_CREAT, 0644), LOCK_EX) == 0;
    });
}

const char kInstanceName[] = "{430724BB-B7C6-46B6-8CF0-01F0A60D0A57}";

} // namespace

TEST(NamedMutex, NamesMapToLockFilesAndUnusableOnesFailCleanly)
{
    EXPECT_EQ(Platform::mutexLockPath(QStringLiteral("Global\\/srv/log/a.a.log")), QStringLiteral("/srv/log/a.a.log"));
    EXPECT_EQ(Platform::mutexLockPath(QLatin1String(kInstanceName)),
              QDir::tempPath() + QLatin1Char('/') + QLatin1String(kInstanceName));
    EXPECT_EQ(Platform::mutexLockPath(QStringLiteral("Local\\a\\b")), QDir::tempPath() + QStringLiteral("/a_b"));
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, nullptr), nullptr);
    EXPECT_EQ(CreateMutexW(nullptr, FALSE, u"Global\\/nonexistent-folder/x/y.lock"), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
    EXPECT_FALSE(ReleaseMutex(nullptr));
}

// One mutex behind both handles of a name: recursive for its owner, released
// only by it, waited for by other threads.
TEST(NamedMutex, SecondCreateSeesItExistingAndOnlyTheOwnerReleases)
{
    HANDLE a = CreateMutexW(nullptr, TRUE, u"Global\\sync-test-a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
    HANDLE b = CreateMutexA(nullptr, FALSE, "Global\\sync-test-a");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    std::thread([&] {
        EXPECT_EQ(WaitForSingleObject(a, 20), WAIT_TIMEOUT);
        EXPECT_FALSE(ReleaseMutex(a));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
    }).join();
    EXPECT_TRUE(ReleaseMutex(b));
    EXPECT_TRUE(ReleaseMutex(a));
    EXPECT_FALSE(ReleaseMutex(a));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
    std::thread([&] {
        EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(b));
    }).join();
    CloseHandle(a);
    CloseHandle(b);
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

// Another process holding the lock: a named mutex sees it existing and waits
// for it; the single-instance guard, once free, takes it and keeps it while
// the handle lives.
TEST(NamedMutex, AnotherProcessHoldingTheLockIsSeenAndWaitedFor)
{
    ZHeldChild other = lockHolder(Platform::mutexLockPath(QStringLiteral("sync-test-process")));
    ASSERT_TRUE(other.held);
    HANDLE m = CreateMutexW(nullptr, FALSE, u"sync-test-process");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(m, 30), WAIT_TIMEOUT);
    other.release();
    EXPECT_EQ(WaitForSingleObject(m, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(m);

    // Refused while another process holds it: service_process_test's second instance.
    const QString path = Platform::mutexLockPath(QLatin1String(kInstanceName));
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

TEST(Threads, BeginThreadRunsAndCanBeWaitedOnLastErrorIsPerThread)
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

    // The last error is per thread.
    SetLastError(ERROR_NOT_READY);
    DWORD other = 0;
    std::thread([&] { other = GetLastError(); }).join();
    EXPECT_EQ(other, DWORD(ERROR_SUCCESS));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));
}

// A lock file is this user's own and private; whatever another user put
// under the name (a file, a link to a file of ours, a FIFO) fails the create
// cleanly, for the single-instance guard too, and stays as it was.
TEST(NamedMutex, LockFilesArePrivateAndAnotherUsersPlantIsRefusedUntouched)
{
    if (!OtherUser::unavailable().isEmpty())
        GTEST_SKIP() << OtherUser::unavailable().toStdString();
    const QString folder = OtherUser::publicTempFolder();
    const QString rootFile = TestSupport::freshDir(QStringLiteral("sync-target")) + QStringLiteral("/root-file");
    {
        QFile f(rootFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("root's own") > 0);
    }
    const QByteArray target = QFile::encodeName(rootFile);
    using Plant = std::function<int(const char*)>;
    const struct {
        const char* what;
        bool byOtherUser;
        Plant plant;
        bool accepted;
    } cases[] = {
        {"nothing", false, [](const char*) { return 0; }, true},
        {"an earlier lock of ours, 0644", false,
         [](const char* p) { return ::close(::open(p, O_CREAT | O_WRONLY, 0644)); }, true},
        {"another user's file", true,
         [](const char* p) {
             const int fd = ::open(p, O_CREAT | O_WRONLY, 0644);
             return fd >= 0 && ::write(fd, "mine", 4) == 4 ? ::close(fd) : 1;
         },
         false},
        {"another user's link to a root file", true, [&](const char* p) { return ::symlink(target.constData(), p); },
         false},
        {"another user's FIFO", true, [](const char* p) { return ::mkfifo(p, 0666); }, false},
    };
    const std::function<HANDLE(const QByteArray&)> creators[] = {
        [](const QByteArray& name) { return CreateMutexA(nullptr, FALSE, name.constData()); },
        [](const QByteArray& name) { return Platform::createSingleInstanceMutex(name.constData()); },
    };
    int serial = 0;
    for (const auto& c : cases) {
        for (const auto& create : creators) {
            SCOPED_TRACE(c.what);
            const QString path = folder + QStringLiteral("/lock-%1").arg(++serial);
            const QByteArray native = QFile::encodeName(path);
            const int planted = c.byOtherUser ? OtherUser::runAs([&] { return c.plant(native.constData()); })
                                              : c.plant(native.constData());
            ASSERT_EQ(planted, 0);
            const QByteArray before = TestSupport::fileState(path), targetBefore = TestSupport::fileState(rootFile);
            HANDLE h = create("Global\\" + native);
            if (c.accepted) {
                ASSERT_NE(h, nullptr);
                EXPECT_EQ(GetLastError(), DWORD(ERROR_SUCCESS));
                EXPECT_EQ(OtherUser::runAs([&] { return ::open(native.constData(), O_RDONLY) < 0 && errno == EACCES ? 0 : 1; }),
                          0);
                CloseHandle(h);
            } else {
                EXPECT_EQ(h, nullptr);
                EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
                EXPECT_EQ(TestSupport::fileState(path), before);
            }
            EXPECT_EQ(TestSupport::fileState(rootFile), targetBefore);
        }
    }
}
