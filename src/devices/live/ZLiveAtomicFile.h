// Replacing a file in one step: the new bytes go to a temporary twin
// ("<path>.temp", 0600, never through a link), are flushed, and the twin is
// renamed over the file; the folder is flushed after. A kill at any moment
// leaves the old file or the new one, never a mix.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <functional>

namespace Platform {

// The seam for tests of kills: gets the byte count about to be written and
// returns how many are written before the "kill" (all: no fault).
using ZLiveWriteFault = std::function<size_t(size_t bytes)>;

// Writes bytes to fd as the fault (if any) lets it. False on an error or a
// "kill"; *killed (when given) tells which.
bool liveWriteAll(int fd, const void* data, size_t bytes, const ZLiveWriteFault& fault, bool* killed = nullptr);

// A whole-file write goes to the file's name with this added first.
constexpr char kLiveTempSuffix[] = ".temp";

// A replacement written in pieces, for a file too large to build in memory
// first: append() as the bytes come, writeAt() for what is known only at the
// end (a header), then commit(). Until a commit the file stays as it was; a
// replacement dropped uncommitted removes its twin (a "killed" one leaves
// it, as a killed process would).
class ZLiveFileReplacement {
public:
    explicit ZLiveFileReplacement(const QString& path, const ZLiveWriteFault& fault = nullptr);
    ~ZLiveFileReplacement();
    ZLiveFileReplacement(const ZLiveFileReplacement&) = delete;
    ZLiveFileReplacement& operator=(const ZLiveFileReplacement&) = delete;

    bool append(const void* data, size_t bytes);
    bool writeAt(size_t offset, const void* data, size_t bytes);
    // Flushes the twin, renames it over the file and flushes the folder.
    // False with *error when any step (or an earlier write) failed.
    bool commit(QString* error);
    bool killed() const { return killed_; }

private:
    bool fail();
    void drop();

    QString path_;
    QByteArray target_;
    QByteArray temp_;
    ZLiveWriteFault fault_;
    int fd_ = -1;
    int error_ = 0;     // errno of the first failure
    bool killed_ = false;
};

// Replaces path with the bytes. False with *error (and the old file left as
// it was) when it cannot; *killed as above.
bool liveReplaceFile(const QString& path, const void* data, size_t bytes, QString* error,
                     const ZLiveWriteFault& fault = nullptr, bool* killed = nullptr);

} // namespace Platform
