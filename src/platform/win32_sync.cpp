#include "platform/win32_sync.h"

#include "win32/ZClock.h"
#include "win32/win32_handle.h"
#include "wire/ZServiceLocation.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr DWORD kLockPollSliceMs = 1;
constexpr mode_t kPrivateFileMode = 0600;
constexpr mode_t kPrivateFolderMode = 0700;
constexpr mode_t kOthersAccess = S_IRWXG | S_IRWXO;

// One named mutex of this process: the lock file and the owning thread.
class NamedMutex {
public:
    explicit NamedMutex(int fd) : fd_(fd) {}
    ~NamedMutex() { ::close(fd_); }

    // Takes the file lock without waiting; false when another process holds it.
    bool tryLockFile() { return flockRetrying(LOCK_EX | LOCK_NB); }

    DWORD wait(DWORD ms)
    {
        const std::thread::id self = std::this_thread::get_id();
        Platform::ZClock& clock = Platform::clock();
        const ULONGLONG start = clock.tickMs();
        std::unique_lock<std::mutex> lock(mutex_);
        if (count_ > 0 && owner_ == self) {
            ++count_;
            return WAIT_OBJECT_0;
        }
        if (!clock.waitFor(changed_, lock, ms, [&] { return count_ == 0; }))
            return WAIT_TIMEOUT;
        // This thread now holds the in-process side; take the file lock.
        owner_ = self;
        count_ = 1;
        lock.unlock();
        bool locked = false;
        int e = 0;
        if (ms == INFINITE) {
            locked = flockRetrying(LOCK_EX);
            e = errno;
        } else {
            for (;;) {
                locked = flockRetrying(LOCK_EX | LOCK_NB);
                e = errno;
                if (locked || e != EWOULDBLOCK || clock.tickMs() - start >= ms)
                    break;
                clock.sleepMs(kLockPollSliceMs);
            }
        }
        if (locked)
            return WAIT_OBJECT_0;
        lock.lock();
        count_ = 0;
        lock.unlock();
        changed_.notify_one();
        if (e == EWOULDBLOCK)
            return WAIT_TIMEOUT;
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }

    // After a successful tryLockFile by the creating thread.
    void ownFromCreation()
    {
        std::lock_guard<std::mutex> g(mutex_);
        owner_ = std::this_thread::get_id();
        count_ = 1;
    }

    bool release()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (count_ == 0 || owner_ != std::this_thread::get_id()) {
            SetLastError(ERROR_NOT_OWNER);
            return false;
        }
        if (--count_ > 0)
            return true;
        flockRetrying(LOCK_UN);
        lock.unlock();
        changed_.notify_one();
        return true;
    }

    void unlockFile() { flockRetrying(LOCK_UN); }

private:
    bool flockRetrying(int op)
    {
        int rc;
        do {
            rc = ::flock(fd_, op);
        } while (rc != 0 && errno == EINTR);
        return rc == 0;
    }

    int fd_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread::id owner_;
    unsigned count_ = 0;
};

struct MutexHandle : Platform::HandleObject {
    std::shared_ptr<NamedMutex> mutex;
};

// The state a thread handle shares with its thread.
struct ThreadState {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
};

struct ThreadHandle : Platform::HandleObject {
    std::shared_ptr<ThreadState> state;
};

// Open named mutexes of this process by lock path; entries expire with their
// last handle.
std::mutex& registryLock()
{
    static std::mutex m;
    return m;
}

std::map<QString, std::weak_ptr<NamedMutex>>& openMutexes()
{
    static std::map<QString, std::weak_ptr<NamedMutex>> table;
    return table;
}

Platform::HandleObject* object(HANDLE h)
{
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return nullptr;
    return static_cast<Platform::HandleObject*>(h);
}

HANDLE createMutex(BOOL initialOwner, const QString& name)
{
    if (name.isEmpty()) {
        // Unnamed mutexes are not used by the service.
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const QString path = Platform::mutexLockPath(name);
    std::lock_guard<std::mutex> g(registryLock());
    auto& table = openMutexes();
    std::shared_ptr<NamedMutex> mutex = table[path].lock();
    bool existed = false;
    if (mutex) {
        existed = true;
    } else {
        const int fd = Platform::openPrivateFile(path, O_RDWR | O_CREAT);
        if (fd < 0) {
            SetLastError(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
            table.erase(path);
            return nullptr;
        }
        mutex = std::make_shared<NamedMutex>(fd);
        table[path] = mutex;
        // Owned elsewhere now: the name exists in another process.
        if (mutex->tryLockFile()) {
            if (initialOwner)
                mutex->ownFromCreation();
            else
                mutex->unlockFile();
        } else {
            existed = true;
        }
    }
    auto* h = new MutexHandle;
    h->mutex = std::move(mutex);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

} // namespace

namespace Platform {

QString mutexLockPath(const QString& name)
{
    QString rest = name;
    for (const char* prefix : {"Global\\", "Local\\"}) {
        if (rest.startsWith(QLatin1String(prefix))) {
            rest = rest.mid(int(qstrlen(prefix)));
            break;
        }
    }
    if (rest.startsWith(QLatin1Char('/')))
        return rest;
    rest.replace(QLatin1Char('/'), QLatin1Char('_'));
    rest.replace(QLatin1Char('\\'), QLatin1Char('_'));
    return SearchEngine::ZServiceLocation::runtimeFolder() + QLatin1Char('/') + rest;
}

int openPrivateFile(const QString& path, int flags)
{
    const QByteArray native = QFile::encodeName(path);
    // Not blocking on a planted FIFO or device; O_TRUNC waits for the checks.
    const int openFlags = (flags & ~O_TRUNC) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    int fd;
    do {
        fd = ::open(native.constData(), openFlags, kPrivateFileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat st{};
    const bool ours = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == ::geteuid();
    if (!ours) {
        ::close(fd);
        errno = EACCES;
        return -1;
    }
    const bool ready = ((st.st_mode & kOthersAccess) == 0 || ::fchmod(fd, st.st_mode & S_IRWXU) == 0)
        && (!(flags & O_TRUNC) || ::ftruncate(fd, 0) == 0)
        && ((flags & O_NONBLOCK) || ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0);
    if (!ready) {
        const int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

bool makePrivateFolder(const QString& path)
{
    QByteArray native = QFile::encodeName(path);
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    // Each missing folder on the way; whatever stands there is judged below.
    for (int i = 1; i <= native.size(); ++i) {
        if (i == native.size() || native.at(i) == '/')
            ::mkdir(native.left(i).constData(), kPrivateFolderMode);
    }
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st{};
    bool ok = ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid();
    if (ok && (st.st_mode & kOthersAccess))
        ok = ::fchmod(fd, st.st_mode & S_IRWXU) == 0;
    ::close(fd);
    return ok;
}

HANDLE createSingleInstanceMutex(LPCSTR name)
{
    return CreateMutexA(nullptr, TRUE, name);
}

} // namespace Platform

HANDLE CreateMutexW(SECURITY_ATTRIBUTES*, BOOL initialOwner, LPCWSTR name)
{
    return createMutex(initialOwner, name ? QString::fromUtf16(name) : QString());
}

HANDLE CreateMutexA(SECURITY_ATTRIBUTES*, BOOL initialOwner, LPCSTR name)
{
    return createMutex(initialOwner, name ? QString::fromUtf8(name) : QString());
}

BOOL ReleaseMutex(HANDLE mutex)
{
    auto* h = dynamic_cast<MutexHandle*>(object(mutex));
    if (!h) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return h->mutex->release() ? TRUE : FALSE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    Platform::HandleObject* o = object(handle);
    if (auto* m = dynamic_cast<MutexHandle*>(o))
        return m->mutex->wait(milliseconds);
    if (auto* t = dynamic_cast<ThreadHandle*>(o)) {
        std::unique_lock<std::mutex> lock(t->state->lock);
        auto done = [&] { return t->state->done; };
        if (milliseconds == INFINITE) {
            t->state->finished.wait(lock, done);
            return WAIT_OBJECT_0;
        }
        return t->state->finished.wait_for(lock, std::chrono::milliseconds(milliseconds), done) ? WAIT_OBJECT_0
                                                                                                 : WAIT_TIMEOUT;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

DWORD GetCurrentThreadId()
{
    return DWORD(::syscall(SYS_gettid));
}

namespace {

struct ThreadStart {
    std::shared_ptr<ThreadState> state;
    ThreadStartRoutine start;
    void* arg;
};

void* threadMain(void* p)
{
    std::unique_ptr<ThreadStart> t(static_cast<ThreadStart*>(p));
    t->start(t->arg);
    std::lock_guard<std::mutex> g(t->state->lock);
    t->state->done = true;
    t->state->finished.notify_all();
    return nullptr;
}

} // namespace

uintptr_t _beginthreadex(void*, unsigned, ThreadStartRoutine start, void* arg, unsigned, unsigned* threadId)
{
    if (threadId)
        *threadId = 0;
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto state = std::make_shared<ThreadState>();
    auto* t = new ThreadStart{state, start, arg};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, threadMain, t);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete t;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    auto* h = new ThreadHandle;
    h->state = std::move(state);
    return reinterpret_cast<uintptr_t>(static_cast<HANDLE>(h));
}
