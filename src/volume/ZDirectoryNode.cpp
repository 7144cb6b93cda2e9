#include "volume/ZDirectoryNode.h"

#include <QSet>

namespace SearchEngine {

void freeDirectoryNodes(DirectoryMap& knownDirectories, DirectoryMap& pendingParents)
{
    // Nodes form trees below the placeholders, but an entry may have been
    // replaced or removed and a corrupt volume may close a parent cycle: so
    // gather every node once, then delete.
    QSet<DirectoryNode*> nodes;
    QList<DirectoryNode*> stack;
    for (DirectoryNode* node : qAsConst(knownDirectories))
        stack.append(node);
    for (DirectoryNode* node : qAsConst(pendingParents))
        stack.append(node);
    while (!stack.isEmpty()) {
        DirectoryNode* node = stack.takeLast();
        if (!node || nodes.contains(node))
            continue;
        nodes.insert(node);
        for (DirectoryNode* child : qAsConst(node->children))
            stack.append(child);
    }
    qDeleteAll(nodes);
    knownDirectories.clear();
    pendingParents.clear();
}

} // namespace SearchEngine
