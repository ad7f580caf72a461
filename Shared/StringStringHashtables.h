// A map from byte strings to byte strings with separate chaining, and its
// fail-fast iterator.
//
// Keys and values are QByteArray compared byte for byte (so case-sensitively).
// The hash function, the growth steps, the order in which a rehash relinks the
// chains and the modification stamp are part of the contract: iteration order
// and iterator staleness follow from them, and callers may rely on both.
//
// Single-threaded; no locks.
#pragma once

#include "Exceptions.h"

#include <QByteArray>
#include <memory>
#include <vector>

// Raised by iterator operations only: "Iterator no longer valid" when the table
// changed structure behind the iterator's back, "The entry is not valid" when
// SetValue finds no current entry. No table operation raises it.
BRENIK_DECLARE_EXCEPTION(EHashTableError, Exception)

// One stored pair. Owned by its table; the chain link is the table's business.
struct THashEntry {
    QByteArray Key;
    QByteArray Value;
    THashEntry* Next = nullptr; // next entry in the same bucket, or none
};

// The bucket array: each slot is the head of one chain, or none. Its length is
// the bucket count and may be 0.
using THashEntryTable = std::vector<THashEntry*>;

// The abstract iterator. The operations are declared in their slot order.
class tMapIterator {
public:
    tMapIterator() = default;
    tMapIterator(const tMapIterator&) = delete;
    tMapIterator& operator=(const tMapIterator&) = delete;
    virtual ~tMapIterator() = default;

    virtual void Next() = 0;
    virtual void RemoveCurrent() = 0;
    virtual bool HasNext() = 0;
    virtual QByteArray Key() = 0;
    virtual QByteArray Value() = 0;
    virtual bool IsEntryValid() = 0;
    virtual void SetValue(const QByteArray& Value) = 0;
    virtual bool IsValid() = 0;
};

class tHashTableIterator;

class tHashTable {
public:
    // Makes InitialBuckets empty buckets (0 allocates nothing until the first
    // insertion). A negative count is a fault of the caller.
    explicit tHashTable(int InitialBuckets = 0);
    // Frees every entry. Iterators still alive afterwards become stale and
    // raise "Iterator no longer valid" instead of touching freed memory.
    virtual ~tHashTable();
    tHashTable(const tHashTable&) = delete;
    tHashTable& operator=(const tHashTable&) = delete;

    // Virtual operations in their slot order.

    // Relinks every entry into M fresh buckets: old buckets in index order,
    // each chain head to tail, each entry moved to the head of its new chain
    // (so entries meeting in one new bucket end up in reverse visiting
    // order). M must be at least 1 while the table holds entries.
    virtual void Rehash(int M);
    // Rehash(floor(3n / 2) + 3): from zero buckets 3, 7, 13, 22, 36, ...
    virtual void Grow();
    // Store without the result.
    virtual void Put(const QByteArray& Key, const QByteArray& Value);
    // A new iterator standing on the first entry in iteration order. The
    // caller owns it (the unique_ptr). It must not be used from another table.
    virtual std::unique_ptr<tHashTableIterator> NewIterator();
    virtual bool ContainsKey(const QByteArray& Key) const;
    virtual bool ContainsValue(const QByteArray& Value) const;
    // The value stored under Key, or "" when there is none (so a missing key
    // and an empty value read alike; ContainsKey tells them apart).
    virtual QByteArray Get(const QByteArray& Key) const;
    // Inserts or replaces; true when the key was new. Replacing a value is not
    // a change of structure: the stamp stays and live iterators stay valid.
    virtual bool Store(const QByteArray& Key, const QByteArray& Value);
    // Removes Key and returns its value; "" and no change when absent.
    virtual QByteArray Remove(const QByteArray& Key);
    virtual qint32 Count() const;
    // Frees every entry but keeps the bucket count.
    virtual void Clear();

    // Inspection, for diagnostics and tests.
    int BucketCount() const { return static_cast<int>(FBuckets.size()); }
    // Grows by at least one on every change of structure (add, remove, clear,
    // rehash); wraps around rather than overflowing.
    qint32 Stamp() const { return FStamp; }
    // Index of the bucket that holds Key for the present bucket count; needs
    // BucketCount() >= 1.
    int BucketOf(const QByteArray& Key) const;

    // The string hash: four bytes per step (the terminating zero counts as a
    // byte of the string when the length is 3 mod 4), the tail bytewise.
    static qint32 HashOf(const QByteArray& Key);

private:
    friend class tHashTableIterator;

    // Null when Key is absent or there are no buckets.
    THashEntry* Find(const QByteArray& Key) const;
    void BumpStamp();
    // Shared with iterators so that they notice the table's destruction.
    std::shared_ptr<const tHashTable*> LivenessToken();

    THashEntryTable FBuckets; // owns every entry reachable from it
    qint32 FStamp = 0;
    qint32 FEntryCount = 0;
    std::shared_ptr<const tHashTable*> FLiveness; // made by the first NewIterator
};

// Walks a table bucket by bucket, each chain head to tail, and fails fast: any
// change of structure that it did not make itself makes it stale for good.
// Usual walk: while (It->IsEntryValid()) { use Key()/Value(); It->Next(); }.
// To drop an entry inside the walk call RemoveCurrent() and then Next(): the
// iterator then stands on the entry that followed, and none is skipped.
class tHashTableIterator : public tMapIterator {
public:
    // Does not own Table.
    explicit tHashTableIterator(tHashTable* Table);

    void Next() override;
    void RemoveCurrent() override;
    bool HasNext() override;
    QByteArray Key() override;
    QByteArray Value() override;
    bool IsEntryValid() override;
    void SetValue(const QByteArray& Value) override;
    // Never raises: false once the table changed behind the iterator (or was
    // destroyed).
    bool IsValid() override;

private:
    void CheckValid();
    // Moves Current to the following entry in iteration order, or to none.
    void Advance();

    int FBucketIndex = 0;
    THashEntry* FCurrent = nullptr;
    qint32 FExpectedStamp = 0;
    bool FCurrentRemoved = false;
    qint32 FPosition = 0;
    tHashTable* FTable;                                // not owned
    std::weak_ptr<const tHashTable*> FTableAlive;       // expires with the table
};
