// The two-way map a change source keeps between the kernel's name for a
// watched directory (an inotify watch descriptor, a fanotify file handle)
// and the directory's record number.
//
// Both sources agree on looking up, renumbering and forgetting. They differ
// in what a new binding replaces: inotify hands out the same descriptor when
// a watched inode is watched again, so a key already bound to another record
// leaves that record (dropRecordOf); fanotify keys a directory by its handle,
// so a record watched again under a new handle drops its old one
// (dropKeyOf). Each source calls its own before bind().
#pragma once

#include "win32/win32_types.h"

#include <unordered_map>
#include <utility>

namespace Platform {

template <typename Key>
class ZLiveDirectoryMap {
public:
    // 0 when the key is not bound.
    DWORD recordOf(const Key& key) const
    {
        auto it = recordOfKey_.find(key);
        return it == recordOfKey_.end() ? 0 : it->second;
    }
    // Null when the record is not bound.
    const Key* keyOf(DWORD record) const
    {
        auto it = keyOfRecord_.find(record);
        return it == keyOfRecord_.end() ? nullptr : &it->second;
    }
    size_t size() const { return keyOfRecord_.size(); }
    bool hasRecord(DWORD record) const { return keyOfRecord_.count(record) != 0; }

    void bind(const Key& key, DWORD record)
    {
        recordOfKey_[key] = record;
        keyOfRecord_[record] = key;
    }
    // A key bound to another record than `record` leaves that record.
    void dropRecordOf(const Key& key, DWORD record)
    {
        auto old = recordOfKey_.find(key);
        if (old != recordOfKey_.end() && old->second != record)
            keyOfRecord_.erase(old->second);
    }
    // A record bound to another key than `key` leaves that key.
    void dropKeyOf(DWORD record, const Key& key)
    {
        auto old = keyOfRecord_.find(record);
        if (old != keyOfRecord_.end() && !(old->second == key))
            recordOfKey_.erase(old->second);
    }
    // The record of a provisional number takes its key.
    void renumber(DWORD provisional, DWORD record)
    {
        auto it = keyOfRecord_.find(provisional);
        if (it == keyOfRecord_.end())
            return;
        Key key = std::move(it->second);
        keyOfRecord_.erase(it);
        recordOfKey_[key] = record;
        keyOfRecord_[record] = std::move(key);
    }
    // Unbinds the record; true with its key in *key when it was bound.
    bool forgetRecord(DWORD record, Key* key = nullptr)
    {
        auto it = keyOfRecord_.find(record);
        if (it == keyOfRecord_.end())
            return false;
        auto r = recordOfKey_.find(it->second);
        if (r != recordOfKey_.end() && r->second == record)
            recordOfKey_.erase(r);
        if (key)
            *key = std::move(it->second);
        keyOfRecord_.erase(it);
        return true;
    }
    // Unbinds the key (the kernel dropped it) and its record.
    void forgetKey(const Key& key)
    {
        auto it = recordOfKey_.find(key);
        if (it == recordOfKey_.end())
            return;
        keyOfRecord_.erase(it->second);
        recordOfKey_.erase(it);
    }

private:
    std::unordered_map<Key, DWORD> recordOfKey_;
    std::unordered_map<DWORD, Key> keyOfRecord_;
};

} // namespace Platform
