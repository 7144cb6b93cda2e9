// A differential tester of live directory drives: random sequences of file
// system operations applied to a real tree, under a live volume and the
// drive's volume thread, then the drive's pool compared with a fresh walk of
// the tree. A failing sequence is shrunk by dropping operations.
#pragma once

#include "devices/live/ZLiveDirectoryVolume.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace LiveDifferential {

// One operation. Paths are relative to the drive's root; "@" names the
// folder outside the tree (moves in and out).
struct Op {
    enum Kind {
        Mkdir,      // a
        Create,     // a, n bytes (truncating)
        Append,     // a, n bytes
        Truncate,   // a to n bytes
        Rename,     // a -> b (over b if it exists)
        Exchange,   // a <-> b (RENAME_EXCHANGE)
        Link,       // b as a hard link of a
        Unlink,     // a
        Rmdir,      // a
        RmTree,     // a and everything below it
        Chmod,      // a to mode n
        Symlink,    // b -> target a
        Subtree,    // a: n levels of folders, each with a file
        Open,       // the drive opens here: what comes before is its first walk
        Pause,      // the change events stay queued in the kernel...
        Resume,     // ...until here
        Settle,     // every event so far applied before the next operation
        Hold,       // the drive's journal reads wait (the clock stands)...
        Release,    // ...until here
        Restart,    // the drive stops, its state kept; what follows until the next Open is made while it is down
        Damage,     // (while down) a byte of the drive's identity table flipped
        Ballast,    // a: a folder of n files named 0, 1, ... (a walk that takes a while)
        During,     // (before the first Open) what follows until it is made on another thread while
                    // the drive's first walk runs, starting n microseconds into the open
    };
    Op(Kind k, std::string pathA = {}, std::string pathB = {}, unsigned number = 0)
        : kind(k), a(std::move(pathA)), b(std::move(pathB)), n(number) {}

    Kind kind;
    std::string a, b;
    unsigned n;
};
using Sequence = std::vector<Op>;

std::string describe(const Op& op);
std::string describe(const Sequence& ops);

// The sequence a seed draws: a first tree, the open, then bursts of changes;
// with restart, then a stop, changes while the drive is down, and an open
// again; with during, the first tree is larger and changes while it is walked.
Sequence generate(uint64_t seed, bool restart = false, bool during = false);

// The live volume's: its change source, limits and kills in the writes of
// the drive's state files; the log, state folder and name are the run's own.
using Options = Platform::ZLiveDirectoryVolume::Options;

struct Outcome {
    bool exact = false;             // the pool equals the tree
    bool rebuildReported = false;   // the drive said its journal was lost (a rebuild follows)
    std::string difference;         // the first difference found, or why the run failed
    std::vector<std::string> errors;  // what the live volume logged
    unsigned resumes = 0;           // opens after a Restart that took up the kept state
    // The journal records the drive was given after its last resumed open,
    // each "name:kinds" (create, delete, rename, old-name, link, data,
    // attributes), in order: what a client is told after all-ready.
    std::vector<std::string> changes;

    bool honest() const { return exact || rebuildReported; }
};

// Applies ops in fresh folders under base and compares. The folders are
// removed afterwards.
Outcome run(const std::string& base, const Sequence& ops, const Options& options);

// The shortest sequence (by dropping operations) for which fails() holds.
Sequence shrink(const Sequence& ops, const std::function<bool(const Sequence&)>& fails);

// A tree as path (from the root, "/a/b") -> what it is.
struct Entry {
    bool directory = false;
    ULONGLONG size = 0;       // regular files; 0 for everything else
    ULONGLONG identity = 0;   // inode on disk, record number in a volume or index
    DWORD attributes = 0;     // a volume's or index's FILE_ATTRIBUTE_* bits
};
using Tree = std::map<std::string, Entry>;

// A fresh walk of a tree, one file system, links never followed.
Tree diskTree(const std::string& root);
// Every name of a volume with its path from the parent links; *error gets
// the first name that has no path to the root or is held twice.
Tree deviceTree(const Platform::ZEmulatedNtfsVolume& volume, std::string* error = nullptr);
// The first difference between the disk and another side (kinds, sizes, and
// hard links alike on both sides), or empty.
std::string difference(const Tree& disk, const Tree& side);

// Removes path and everything below it, links never followed.
void removeTree(const std::string& path);

// Whether fanotify file-system marks with names are permitted under base.
bool fanotifyPermitted(const std::string& base);

// A write fault that lets `bytes` through in all, then nothing: a kill there.
inline Platform::ZLiveWriteFault killAfter(size_t bytes)
{
    auto left = std::make_shared<size_t>(bytes);
    return [left](size_t n) { return n = std::min(n, *left), *left -= n, n; };
}

} // namespace LiveDifferential
