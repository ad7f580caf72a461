#include "StringStringHashtables.h"

#include <gtest/gtest.h>

#include <QSet>
#include <algorithm>
#include <functional>
#include <vector>

namespace {

// Every (key, value) pair in iteration order.
std::vector<std::pair<QByteArray, QByteArray>> Walk(tHashTable& Table)
{
    std::vector<std::pair<QByteArray, QByteArray>> Seen;
    auto It = Table.NewIterator();
    while (It->IsEntryValid()) {
        Seen.emplace_back(It->Key(), It->Value());
        It->Next();
    }
    return Seen;
}

std::vector<QByteArray> WalkKeys(tHashTable& Table)
{
    std::vector<QByteArray> Keys;
    for (const auto& [Key, Value] : Walk(Table))
        Keys.push_back(Key);
    return Keys;
}

// Raises the expected message, and an EHashTableError at that.
void ExpectHashError(const std::function<void()>& Action, const char* Message)
{
    try {
        Action();
        ADD_FAILURE() << "no exception, expected " << Message;
    } catch (const EHashTableError& E) {
        EXPECT_EQ(E.Message(), QString::fromLatin1(Message));
        EXPECT_STREQ(E.ClassName(), "EHashTableError");
    }
}

// Keys of a table with BucketCount() buckets that all fall into Bucket.
std::vector<QByteArray> KeysInBucket(int Buckets, int Bucket, int HowMany)
{
    std::vector<QByteArray> Keys;
    for (int I = 0; Keys.size() < static_cast<size_t>(HowMany); ++I) {
        const QByteArray Key = "k" + QByteArray::number(I);
        tHashTable Probe(Buckets);
        if (Probe.BucketOf(Key) == Bucket)
            Keys.push_back(Key);
    }
    return Keys;
}

} // namespace

TEST(HashTable, HashFunctionMatchesWorkedValues)
{
    struct Case {
        const char* Text;
        qint32 Hash;
    };
    const Case Cases[] = {
        {"", 0},
        {"a", 97},
        {"ab", 3299},
        {"abc", 6513249},       // the terminating zero is the top byte of the one word
        {"abcd", 1684234849},
        {"abcde", -254824730},  // word, then one tail byte; wraps to negative
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.Text);
        EXPECT_EQ(tHashTable::HashOf(QByteArray(C.Text)), C.Hash);
    }
}

TEST(HashTable, HashTakesBytesAsUnsignedAndTreatsZeroBytesAsData)
{
    // One tail byte 0xFF adds 255, not -1.
    EXPECT_EQ(tHashTable::HashOf(QByteArray("\xFF", 1)), 255);
    // An embedded zero is a byte of the key: "a\0" differs from "a".
    EXPECT_EQ(tHashTable::HashOf(QByteArray("a\0", 2)), 97 * 33);
    tHashTable Table(0);
    Table.Put(QByteArray("a\0", 2), "with zero");
    Table.Put("a", "plain");
    EXPECT_EQ(Table.Count(), 2);
    EXPECT_EQ(Table.Get(QByteArray("a\0", 2)), "with zero");
    EXPECT_EQ(Table.Get("a"), "plain");
}

TEST(HashTable, BucketOfUsesMagnitudeOfHash)
{
    // "abcde" hashes to -254824730; its bucket is 254824730 mod n.
    for (int N : {3, 7, 13, 88}) {
        SCOPED_TRACE(N);
        tHashTable Table(N);
        EXPECT_EQ(Table.BucketOf("abcde"), static_cast<int>(254824730u % static_cast<unsigned>(N)));
        EXPECT_EQ(Table.BucketOf(""), 0);
    }
}

TEST(HashTable, GrowsAtTheDesignedEntriesToTheDesignedBucketCounts)
{
    // Entry number at which the table grows, and the bucket count after it.
    const std::vector<std::pair<int, int>> GrowthPoints = {
        {1, 3}, {3, 7}, {6, 13}, {10, 22}, {17, 36}, {28, 57}, {43, 88}};
    tHashTable Table(0);
    EXPECT_EQ(Table.BucketCount(), 0);
    int Expected = 0;
    size_t NextPoint = 0;
    for (int Entry = 1; Entry <= 50; ++Entry) {
        SCOPED_TRACE(Entry);
        const qint32 StampBefore = Table.Stamp();
        ASSERT_TRUE(Table.Store("key" + QByteArray::number(Entry), "v"));
        const bool Grew = NextPoint < GrowthPoints.size() && GrowthPoints[NextPoint].first == Entry;
        if (Grew)
            Expected = GrowthPoints[NextPoint++].second;
        EXPECT_EQ(Table.BucketCount(), Expected);
        // An insertion bumps the stamp once, a rehash once more.
        EXPECT_EQ(Table.Stamp() - StampBefore, Grew ? 2 : 1);
        EXPECT_LE(4 * Table.Count(), 3 * Table.BucketCount());
    }
    EXPECT_EQ(NextPoint, GrowthPoints.size());
    for (int Entry = 1; Entry <= 50; ++Entry)
        EXPECT_EQ(Table.Get("key" + QByteArray::number(Entry)), "v");
}

TEST(HashTable, GrowFollowsThreeHalvesPlusThree)
{
    tHashTable Table(0);
    const int Counts[] = {3, 7, 13, 22, 36, 57, 88, 135, 205, 310};
    for (int Count : Counts) {
        Table.Grow();
        EXPECT_EQ(Table.BucketCount(), Count);
    }
}

TEST(HashTable, RehashRelinksEachEntryAtTheHeadOfItsNewChain)
{
    // Three keys in one bucket of a 3-bucket table, inserted a, b, c: the chain
    // reads c, b, a (newest first). Rehashing to one bucket visits c, b, a and
    // pushes each to the head, so the single chain then reads a, b, c.
    tHashTable Table(3);
    const std::vector<QByteArray> Keys = KeysInBucket(3, 1, 2);
    // Two keys keep the load at 2/3, below the growth threshold.
    Table.Put(Keys[0], "0");
    Table.Put(Keys[1], "1");
    ASSERT_EQ(Table.BucketCount(), 3);
    EXPECT_EQ(WalkKeys(Table), (std::vector<QByteArray>{Keys[1], Keys[0]}));
    const qint32 Stamp = Table.Stamp();
    Table.Rehash(1);
    EXPECT_EQ(Table.Stamp(), Stamp + 1);
    EXPECT_EQ(WalkKeys(Table), (std::vector<QByteArray>{Keys[0], Keys[1]}));

    // Across buckets: old buckets are walked in index order.
    tHashTable Wide(7);
    const std::vector<QByteArray> InTwo = KeysInBucket(7, 2, 2);
    const std::vector<QByteArray> InFive = KeysInBucket(7, 5, 1);
    Wide.Put(InFive[0], "");
    Wide.Put(InTwo[0], "");
    Wide.Put(InTwo[1], "");
    EXPECT_EQ(WalkKeys(Wide), (std::vector<QByteArray>{InTwo[1], InTwo[0], InFive[0]}));
    Wide.Rehash(1);
    // Visited: InTwo[1], InTwo[0], InFive[0]; each goes to the head.
    EXPECT_EQ(WalkKeys(Wide), (std::vector<QByteArray>{InFive[0], InTwo[0], InTwo[1]}));
}

TEST(HashTable, IterationIsBucketOrderThenNewestFirstInEachChain)
{
    tHashTable Table(13);
    std::vector<QByteArray> Keys;
    for (int I = 0; I < 9; ++I)
        Keys.push_back("item" + QByteArray::number(I));
    for (const QByteArray& Key : Keys)
        Table.Put(Key, Key + "!");
    ASSERT_EQ(Table.BucketCount(), 13);
    std::vector<QByteArray> Expected;
    for (int Bucket = 0; Bucket < 13; ++Bucket)
        for (auto K = Keys.rbegin(); K != Keys.rend(); ++K)
            if (Table.BucketOf(*K) == Bucket)
                Expected.push_back(*K);
    const auto Seen = Walk(Table);
    ASSERT_EQ(Seen.size(), Expected.size());
    for (size_t I = 0; I < Seen.size(); ++I) {
        EXPECT_EQ(Seen[I].first, Expected[I]);
        EXPECT_EQ(Seen[I].second, Expected[I] + "!");
    }
}

TEST(HashTable, ZeroBucketTableAnswersWithoutBuckets)
{
    tHashTable Table(0);
    EXPECT_EQ(Table.Get("x"), "");
    EXPECT_FALSE(Table.ContainsKey("x"));
    EXPECT_FALSE(Table.ContainsKey(""));
    EXPECT_FALSE(Table.ContainsValue(""));
    EXPECT_EQ(Table.Count(), 0);
    EXPECT_EQ(Table.Remove("x"), "");
    EXPECT_EQ(Table.Stamp(), 0);
    EXPECT_EQ(Table.BucketCount(), 0);
    Table.Clear(); // nothing to free, still a change
    EXPECT_EQ(Table.BucketCount(), 0);
    EXPECT_TRUE(Table.Store("x", "1"));
    EXPECT_EQ(Table.BucketCount(), 3);
    EXPECT_EQ(Table.Get("x"), "1");
}

TEST(HashTable, StoreGetRemoveAndContains)
{
    tHashTable Table(0);
    EXPECT_TRUE(Table.Store("Key", "upper"));
    EXPECT_TRUE(Table.Store("key", "lower")); // case matters
    EXPECT_TRUE(Table.Store("", "empty key")); // an ordinary key, bucket 0
    EXPECT_TRUE(Table.Store("blank", ""));
    EXPECT_EQ(Table.Count(), 4);
    EXPECT_EQ(Table.BucketOf(""), 0);

    EXPECT_EQ(Table.Get("Key"), "upper");
    EXPECT_EQ(Table.Get("key"), "lower");
    EXPECT_EQ(Table.Get(""), "empty key");
    // Get cannot tell an empty value from a missing key; ContainsKey can.
    EXPECT_EQ(Table.Get("blank"), "");
    EXPECT_EQ(Table.Get("missing"), "");
    EXPECT_TRUE(Table.ContainsKey("blank"));
    EXPECT_FALSE(Table.ContainsKey("missing"));
    EXPECT_FALSE(Table.ContainsKey("KEY"));

    EXPECT_TRUE(Table.ContainsValue("lower"));
    EXPECT_TRUE(Table.ContainsValue(""));
    EXPECT_FALSE(Table.ContainsValue("LOWER"));

    // Replacing keeps count and stamp.
    const qint32 Stamp = Table.Stamp();
    EXPECT_FALSE(Table.Store("Key", "replaced"));
    EXPECT_EQ(Table.Count(), 4);
    EXPECT_EQ(Table.Stamp(), Stamp);
    EXPECT_EQ(Table.Get("Key"), "replaced");
    Table.Put("Key", "again");
    EXPECT_EQ(Table.Get("Key"), "again");

    // Remove returns the value and bumps the stamp; an absent key changes nothing.
    EXPECT_EQ(Table.Remove("key"), "lower");
    EXPECT_EQ(Table.Stamp(), Stamp + 1);
    EXPECT_EQ(Table.Count(), 3);
    EXPECT_FALSE(Table.ContainsKey("key"));
    EXPECT_EQ(Table.Remove("key"), "");
    EXPECT_EQ(Table.Stamp(), Stamp + 1);
    EXPECT_EQ(Table.Count(), 3);
}

TEST(HashTable, RemoveUnlinksFromAnyPlaceInAChain)
{
    // Head, middle and tail of one chain.
    const std::vector<QByteArray> Keys = KeysInBucket(88, 4, 3);
    for (size_t Victim = 0; Victim < Keys.size(); ++Victim) {
        SCOPED_TRACE(Victim);
        tHashTable Table(88);
        for (const QByteArray& Key : Keys)
            Table.Put(Key, "v" + Key);
        EXPECT_EQ(Table.Remove(Keys[Victim]), "v" + Keys[Victim]);
        for (size_t Other = 0; Other < Keys.size(); ++Other)
            EXPECT_EQ(Table.ContainsKey(Keys[Other]), Other != Victim);
        EXPECT_EQ(Table.Count(), 2);
    }
}

TEST(HashTable, ClearKeepsBucketsAndDoesNotGrowUntilLoadPassesThreeQuarters)
{
    tHashTable Table(0);
    for (int I = 0; I < 10; ++I)
        Table.Put("k" + QByteArray::number(I), "v");
    ASSERT_EQ(Table.BucketCount(), 22);
    const qint32 Stamp = Table.Stamp();
    Table.Clear();
    EXPECT_EQ(Table.Count(), 0);
    EXPECT_EQ(Table.BucketCount(), 22);
    EXPECT_EQ(Table.Stamp(), Stamp + 1);
    EXPECT_FALSE(Table.ContainsKey("k1"));
    EXPECT_TRUE(WalkKeys(Table).empty());
    // 16 entries: 3 * 22 = 66 >= 64, no growth; the 17th passes 3/4.
    for (int I = 0; I < 16; ++I)
        Table.Put("n" + QByteArray::number(I), "v");
    EXPECT_EQ(Table.BucketCount(), 22);
    Table.Put("n16", "v");
    EXPECT_EQ(Table.BucketCount(), 36);
}

TEST(HashTable, StampChangesOnlyWithStructure)
{
    tHashTable Table(0);
    struct Step {
        const char* What;
        std::function<void()> Action;
        int StampDelta;
    };
    const std::vector<Step> Steps = {
        {"first store (grows)", [&] { Table.Store("a", "1"); }, 2},
        {"second store", [&] { Table.Store("b", "2"); }, 1},
        {"replace", [&] { Table.Store("a", "3"); }, 0},
        {"put replace", [&] { Table.Put("b", "4"); }, 0},
        {"remove absent", [&] { Table.Remove("zz"); }, 0},
        {"remove present", [&] { Table.Remove("a"); }, 1},
        {"rehash", [&] { Table.Rehash(5); }, 1},
        {"clear", [&] { Table.Clear(); }, 1},
        {"lookups", [&] { Table.Get("b"); Table.ContainsKey("b"); Table.ContainsValue("4"); }, 0},
    };
    for (const Step& S : Steps) {
        SCOPED_TRACE(S.What);
        const qint32 Before = Table.Stamp();
        S.Action();
        EXPECT_EQ(Table.Stamp() - Before, S.StampDelta);
    }
}

TEST(HashTable, IteratorOnEmptyTable)
{
    for (int Buckets : {0, 5}) {
        SCOPED_TRACE(Buckets);
        tHashTable Table(Buckets);
        auto It = Table.NewIterator();
        EXPECT_TRUE(It->IsValid());
        EXPECT_FALSE(It->IsEntryValid());
        EXPECT_FALSE(It->HasNext());
        EXPECT_EQ(It->Key(), "");
        EXPECT_EQ(It->Value(), "");
        It->Next();
        It->RemoveCurrent(); // nothing to remove
        EXPECT_TRUE(It->IsValid());
        EXPECT_FALSE(It->IsEntryValid());
        ExpectHashError([&] { It->SetValue("x"); }, "The entry is not valid");
    }
}

TEST(HashTable, IteratorHasNextAndPositionAlongAWalk)
{
    tHashTable Table(0);
    for (const char* Key : {"a", "b", "c", "d"})
        Table.Put(Key, Key);
    auto It = Table.NewIterator();
    QSet<QByteArray> Seen;
    for (int Step = 0; Step < 4; ++Step) {
        SCOPED_TRACE(Step);
        ASSERT_TRUE(It->IsEntryValid());
        EXPECT_EQ(It->HasNext(), Step < 3);
        EXPECT_EQ(It->Key(), It->Value());
        Seen.insert(It->Key());
        It->Next();
    }
    EXPECT_FALSE(It->IsEntryValid());
    EXPECT_FALSE(It->HasNext());
    It->Next(); // past the end: nothing
    EXPECT_FALSE(It->IsEntryValid());
    EXPECT_EQ(Seen, (QSet<QByteArray>{"a", "b", "c", "d"}));
}

TEST(HashTable, SetValueReplacesWithoutStalingOtherIterators)
{
    tHashTable Table(0);
    Table.Put("a", "1");
    Table.Put("b", "2");
    auto Writer = Table.NewIterator();
    auto Other = Table.NewIterator();
    const QByteArray Key = Writer->Key();
    const qint32 Stamp = Table.Stamp();
    Writer->SetValue("changed");
    EXPECT_EQ(Table.Get(Key), "changed");
    EXPECT_EQ(Table.Stamp(), Stamp);
    EXPECT_TRUE(Other->IsValid());
    EXPECT_EQ(Other->Value(), "changed");
    // Replacing through the table keeps iterators valid too.
    EXPECT_FALSE(Table.Store(Key, "again"));
    EXPECT_TRUE(Writer->IsValid());
    EXPECT_EQ(Writer->Value(), "again");
}

TEST(HashTable, StructuralChangesMakeIteratorsStale)
{
    struct Case {
        const char* What;
        std::function<void(tHashTable&)> Change;
        qint32 CountAfter;
    };
    const std::vector<Case> Cases = {
        {"store of a new key", [](tHashTable& T) { T.Store("new", "x"); }, 3},
        {"put of a new key", [](tHashTable& T) { T.Put("new", "x"); }, 3},
        {"remove", [](tHashTable& T) { T.Remove("a"); }, 1},
        {"clear", [](tHashTable& T) { T.Clear(); }, 0},
        {"rehash", [](tHashTable& T) { T.Rehash(T.BucketCount()); }, 2},
        {"grow", [](tHashTable& T) { T.Grow(); }, 2},
    };
    const std::vector<std::pair<const char*, std::function<void(tHashTableIterator&)>>> Operations = {
        {"Next", [](tHashTableIterator& I) { I.Next(); }},
        {"RemoveCurrent", [](tHashTableIterator& I) { I.RemoveCurrent(); }},
        {"HasNext", [](tHashTableIterator& I) { I.HasNext(); }},
        {"Key", [](tHashTableIterator& I) { I.Key(); }},
        {"Value", [](tHashTableIterator& I) { I.Value(); }},
        {"IsEntryValid", [](tHashTableIterator& I) { I.IsEntryValid(); }},
        {"SetValue", [](tHashTableIterator& I) { I.SetValue("v"); }},
    };
    for (const Case& C : Cases) {
        SCOPED_TRACE(C.What);
        tHashTable Table(0);
        Table.Put("a", "1");
        Table.Put("b", "2");
        auto It = Table.NewIterator();
        ASSERT_TRUE(It->IsValid());
        C.Change(Table);
        EXPECT_FALSE(It->IsValid()); // never raises
        for (const auto& [Name, Operation] : Operations) {
            SCOPED_TRACE(Name);
            ExpectHashError([&] { Operation(*It); }, "Iterator no longer valid");
        }
        // Staleness is for good, even when the table changes no more.
        EXPECT_FALSE(It->IsValid());
        EXPECT_EQ(Table.Count(), C.CountAfter);
        EXPECT_EQ(static_cast<qint32>(WalkKeys(Table).size()), C.CountAfter);
    }
}

TEST(HashTable, RemoveCurrentThenNextVisitsEveryOtherEntryOnce)
{
    tHashTable Table(0);
    for (const char* Key : {"a", "b", "c"})
        Table.Put(Key, QByteArray(Key).toUpper());
    auto Bystander = Table.NewIterator();
    auto It = Table.NewIterator();
    std::vector<QByteArray> Visited;
    while (It->IsEntryValid()) {
        const QByteArray Key = It->Key();
        Visited.push_back(Key);
        if (Key == "b") {
            It->RemoveCurrent();
            EXPECT_TRUE(It->IsValid());
            EXPECT_FALSE(It->IsEntryValid());
            EXPECT_EQ(It->Key(), "");
            EXPECT_EQ(It->Value(), "");
            ExpectHashError([&] { It->SetValue("x"); }, "The entry is not valid");
            It->RemoveCurrent(); // a second remove does nothing
            EXPECT_EQ(Table.Count(), 2);
        }
        It->Next();
    }
    std::sort(Visited.begin(), Visited.end());
    EXPECT_EQ(Visited, (std::vector<QByteArray>{"a", "b", "c"}));
    EXPECT_EQ(Table.Count(), 2);
    EXPECT_FALSE(Table.ContainsKey("b"));
    EXPECT_TRUE(It->IsValid());
    EXPECT_FALSE(Bystander->IsValid());
}

TEST(HashTable, RemovingEveryEntryDuringAWalk)
{
    tHashTable Table(0);
    for (int I = 0; I < 20; ++I)
        Table.Put("k" + QByteArray::number(I), "v");
    auto It = Table.NewIterator();
    int Removed = 0;
    while (It->IsEntryValid()) {
        It->RemoveCurrent();
        ++Removed;
        It->Next();
    }
    EXPECT_EQ(Removed, 20);
    EXPECT_EQ(Table.Count(), 0);
}

TEST(HashTable, RemoveCurrentOfTheLastEntry)
{
    tHashTable Table(0);
    for (const char* Key : {"a", "b", "c"})
        Table.Put(Key, "v");
    auto It = Table.NewIterator();
    It->Next();
    It->Next();
    ASSERT_TRUE(It->IsEntryValid());
    ASSERT_FALSE(It->HasNext());
    const QByteArray Last = It->Key();
    It->RemoveCurrent();
    EXPECT_FALSE(Table.ContainsKey(Last));
    EXPECT_FALSE(It->IsEntryValid());
    EXPECT_FALSE(It->HasNext());
    It->Next(); // only clears the removed flag
    EXPECT_FALSE(It->IsEntryValid());
    EXPECT_FALSE(It->HasNext());
    EXPECT_EQ(It->Key(), "");
    It->RemoveCurrent(); // no current entry: nothing happens
    EXPECT_EQ(Table.Count(), 2);
}

TEST(HashTable, HasNextRightAfterRemovingAMiddleEntry)
{
    tHashTable Table(0);
    for (const char* Key : {"a", "b", "c"})
        Table.Put(Key, "v");
    auto It = Table.NewIterator();
    It->Next(); // position 1 of 3
    It->RemoveCurrent();
    // Count is 2 and position 1; the removed flag says an entry still follows.
    EXPECT_TRUE(It->HasNext());
    It->Next();
    EXPECT_TRUE(It->IsEntryValid());
    EXPECT_FALSE(It->HasNext());
}

TEST(HashTable, IteratorOutlivingItsTableIsStaleNotDangling)
{
    std::unique_ptr<tHashTableIterator> It;
    {
        tHashTable Table(0);
        Table.Put("a", "1");
        It = Table.NewIterator();
        EXPECT_TRUE(It->IsValid());
    }
    EXPECT_FALSE(It->IsValid());
    ExpectHashError([&] { It->Key(); }, "Iterator no longer valid");
}

TEST(HashTable, BrokenPreconditionsAreAssertions)
{
    EXPECT_THROW(tHashTable(-1), EAssertionFailed);
    tHashTable Table(0);
    Table.Put("a", "1");
    EXPECT_THROW(Table.Rehash(0), EAssertionFailed); // would lose the entry
    EXPECT_EQ(Table.Get("a"), "1");
    tHashTable Empty(4);
    EXPECT_NO_THROW(Empty.Rehash(0));
    EXPECT_EQ(Empty.BucketCount(), 0);
}
