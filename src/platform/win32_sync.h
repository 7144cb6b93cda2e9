// Named mutexes, threads and thread ids.
//
// A named mutex is a lock file: ownership is an exclusive flock on it, so it
// excludes threads of this process and other processes alike. A name that is
// a path after its "Global\" or "Local\" prefix (the log's lock file) locks
// that file; any other name locks "<runtime folder>/<name>" (ZServiceLocation). Handles of one
// name in one process share one mutex object, which is recursive for its
// owning thread, as on Windows.
//
// Lock files are private files (Platform::openPrivateFile): one planted under
// the name by another user, or a link, fails the create with
// ERROR_ACCESS_DENIED and is left as it was; nobody else can open ours to
// take the lock.
//
// What a lock file can tell another process is whether someone holds it, not
// whether someone has it open: CreateMutex reports ERROR_ALREADY_EXISTS when
// this process has the name open already or another process owns it now. So
// a single-instance guard asks for initial ownership and keeps the handle:
// see Platform::createSingleInstanceMutex.
#pragma once

#include "win32/win32_types.h"

#include <QString>

struct SECURITY_ATTRIBUTES;

enum : DWORD {
    WAIT_OBJECT_0 = 0,
    WAIT_ABANDONED = 0x80,
    WAIT_TIMEOUT = 258,
    WAIT_FAILED = 0xFFFFFFFFu,
    ERROR_NOT_OWNER = 288,
};

HANDLE CreateMutexW(SECURITY_ATTRIBUTES* attributes, BOOL initialOwner, LPCWSTR name);
HANDLE CreateMutexA(SECURITY_ATTRIBUTES* attributes, BOOL initialOwner, LPCSTR name);
BOOL ReleaseMutex(HANDLE mutex);
// Mutexes and threads. Timeouts in milliseconds, a mutex's measured on
// Platform::clock(), a thread's on the real clock; INFINITE waits.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

DWORD GetCurrentThreadId();

// _beginthreadex: the new thread runs start(arg). The handle can be waited on
// and closed; closing it leaves the thread running. 0 on failure.
typedef unsigned (*ThreadStartRoutine)(void*);
uintptr_t _beginthreadex(void* security, unsigned stackSize, ThreadStartRoutine start, void* arg,
                         unsigned initFlags, unsigned* threadId);

namespace Platform {
// The single-instance guard: CreateMutexA with initial ownership, so that the
// lock stays taken while this process holds the handle (for its life, when the
// handle is never closed). GetLastError() is ERROR_ALREADY_EXISTS when another
// process holds it; the handle then does not own the mutex.
HANDLE createSingleInstanceMutex(LPCSTR name);
// The lock file a mutex name stands for.
QString mutexLockPath(const QString& name);

// Files and folders of this process's effective user that nobody else may
// read: lock files, the log and the drive caches.
//
// Opens path with open(2) flags (O_NOFOLLOW and O_CLOEXEC added; a new file
// is made 0600) and keeps it only when it is a regular file with one link,
// owned by the effective user; an older file of that user loses any group
// and other access, and O_TRUNC empties it only then. Anything else is
// closed untouched: -1 with errno EACCES (or open's own errno).
int openPrivateFile(const QString& path, int flags);
// Makes the folder and its missing parents 0700; the folder itself, when it
// exists and belongs to the effective user, loses group and other access.
// False (folder untouched) when path is not a real folder of that user.
bool makePrivateFolder(const QString& path);
} // namespace Platform
