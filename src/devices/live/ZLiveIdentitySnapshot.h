// What a live directory volume knows of its files, kept on disk between
// runs: per record its inode, sequence number, parent record and name, so
// that the same file keeps the same file reference across runs, and the
// journal position the table was taken at; and the size, times and
// attributes the volume last showed, so that a change made while no run
// followed the tree is told from none.
//
// One file, written whole under a temporary twin, flushed and renamed over
// the old one in one step: a kill leaves the old table or the new one. The
// header carries a CRC-32 (zlib), the entries an XXH3-64 (a million entries
// are tens of megabytes, read at every restart); a file that does not check,
// of another version or tree, or whose counts and offsets do not fit its
// size, is refused with the reason.
#pragma once

#include "devices/live/ZLiveAtomicFile.h"
#include "win32/win32_ioctl.h"

#include <QByteArray>
#include <QString>

#include <xxhash.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace Platform {

class ZLiveIdentitySnapshot {
public:
    static constexpr DWORD kVersion = 3;

    struct Entry {
        DWORD record = 0;
        WORD sequence = 0;
        WORD flags = 0;           // kFolder
        ULONGLONG inode = 0;
        DWORD parent = 0;
        std::string name;         // as on disk (bytes)
        DWORD attributes = 0;     // FILE_ATTRIBUTE_* as the volume showed them
        ULONGLONG size = 0;
        ULONGLONG creationTime = 0;   // FILETIME
        ULONGLONG lastWriteTime = 0;
        ULONGLONG changeTime = 0;
    };
    static constexpr WORD kFolder = 1;

    struct Table {
        ULONGLONG rootDevice = 0;
        ULONGLONG rootInode = 0;
        DWORDLONG journalId = 0;
        USN usn = 0;              // the journal's NextUsn when the table was taken
        std::vector<Entry> entries;
    };

    // On-disk layout.
    struct FileHeader {
        char magic[8];
        DWORD version;
        DWORD headerBytes;
        ULONGLONG rootDevice;
        ULONGLONG rootInode;
        DWORDLONG journalId;
        USN usn;
        ULONGLONG entryCount;
        ULONGLONG bodyBytes;      // the entries and their names after the header
        ULONGLONG bodyDigest;     // XXH3-64 of the entries and names
        DWORD headerCrc;          // of every byte before it
        DWORD reserved;
    };
    struct EntryHead {
        DWORD record;
        WORD sequence;
        WORD flags;
        ULONGLONG inode;
        DWORD parent;
        DWORD nameBytes;          // the name's bytes follow the head
        ULONGLONG size;
        ULONGLONG creationTime;
        ULONGLONG lastWriteTime;
        ULONGLONG changeTime;
        DWORD attributes;
        DWORD reserved;
    };

    // A table as read: the file's bytes and where each entry starts in
    // them, every length already checked; an entry is decoded when asked
    // for, so a million entries cost their bytes and an offset each.
    class Image {
    public:
        ULONGLONG rootDevice = 0;
        ULONGLONG rootInode = 0;
        DWORDLONG journalId = 0;
        USN usn = 0;

        size_t size() const { return heads_.size(); }
        EntryHead head(size_t i) const;
        std::string_view name(size_t i) const;
        Entry entry(size_t i) const;
        // Gives the mapped file's pages back (they stay in the page cache
        // and are read again when touched), so that a pass over a million
        // entries holds only the pages it touched since. A copy keeps its bytes.
        void dropPages() const;

    private:
        friend class ZLiveIdentitySnapshot;
        std::shared_ptr<const char> mapping_;   // the file's pages, when mapped
        QByteArray bytes_;                      // the file's bytes (in mapping_, or a copy)
        std::vector<DWORD> heads_;              // offset of each EntryHead in bytes_ (below kLargestFile)
    };

    // A table written entry by entry, a megabyte at a time, so that a table
    // of a million names is never held whole in memory; the header goes in
    // last, and the file replaces the old one only at finish().
    class Writer {
    public:
        // The seam `fault`, when set, gets the byte count about to be
        // written and returns how many are (a kill after them).
        explicit Writer(const QString& path, const ZLiveWriteFault& fault = nullptr);
        ~Writer();
        void add(const Entry& e);
        bool finish(ULONGLONG rootDevice, ULONGLONG rootInode, DWORDLONG journalId, USN usn, QString* error);

    private:
        void flushChunk();

        ZLiveFileReplacement file_;
        std::vector<unsigned char> chunk_;
        XXH3_state_t* digest_;
        ULONGLONG entries_ = 0;
        ULONGLONG bodyBytes_ = 0;
    };

    // Writes table to path in one step (a Writer given every entry).
    static bool write(const QString& path, const Table& table, QString* error,
                      const ZLiveWriteFault& fault = nullptr);
    // Reads path for the tree (rootDevice, rootInode). False with the reason.
    static bool read(const QString& path, ULONGLONG rootDevice, ULONGLONG rootInode, Image& out, QString* reason);
};

static_assert(offsetof(ZLiveIdentitySnapshot::FileHeader, rootDevice) == 16, "identity file header layout");
static_assert(offsetof(ZLiveIdentitySnapshot::FileHeader, usn) == 40, "identity file header layout");
static_assert(offsetof(ZLiveIdentitySnapshot::FileHeader, bodyDigest) == 64, "identity file header layout");
static_assert(offsetof(ZLiveIdentitySnapshot::FileHeader, headerCrc) == 72, "identity file header layout");
static_assert(sizeof(ZLiveIdentitySnapshot::FileHeader) == 80, "identity file header layout");
static_assert(offsetof(ZLiveIdentitySnapshot::EntryHead, inode) == 8, "identity entry layout");
static_assert(offsetof(ZLiveIdentitySnapshot::EntryHead, size) == 24, "identity entry layout");
static_assert(offsetof(ZLiveIdentitySnapshot::EntryHead, attributes) == 56, "identity entry layout");
static_assert(sizeof(ZLiveIdentitySnapshot::EntryHead) == 64, "identity entry layout");

} // namespace Platform
