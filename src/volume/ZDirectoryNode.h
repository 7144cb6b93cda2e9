// The directory tree of one MFT build: which directory item sits under which.
#pragma once

#include "win32/win32_types.h"

#include <QHash>
#include <QList>

namespace SearchEngine {

struct ItemRecord;

// One directory seen during a build, or a placeholder (item null) for a
// parent that some directory named before the parent itself was seen.
struct DirectoryNode {
    ItemRecord* item = nullptr;
    DirectoryNode* parent = nullptr;
    QList<DirectoryNode*> children; // in insertion order
};

// Record number -> node. The build keeps two: the directories seen
// (knownDirectories) and the placeholders still waiting (pendingParents).
using DirectoryMap = QHash<uint, DirectoryNode*>;

// Deletes every node reachable from either map (each node once, also nodes
// whose entry was replaced or removed, and nodes on a parent cycle of a
// corrupt volume) and empties both maps.
void freeDirectoryNodes(DirectoryMap& knownDirectories, DirectoryMap& pendingParents);

} // namespace SearchEngine
