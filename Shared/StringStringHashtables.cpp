#include "StringStringHashtables.h"

namespace {

const char* const UnitName = "StringStringHashtables";
const char* const IteratorNoLongerValid = "Iterator no longer valid";
const char* const EntryNotValid = "The entry is not valid";

// The stored counters are 32-bit signed; step them with unsigned arithmetic so
// that a wrap is defined behaviour.
qint32 Wrapped(quint32 Value)
{
    return static_cast<qint32>(Value);
}

} // namespace

// ---------------------------------------------------------------- tHashTable

tHashTable::tHashTable(int InitialBuckets)
{
    Assert(InitialBuckets >= 0, UnitName);
    FBuckets.assign(static_cast<size_t>(InitialBuckets), nullptr);
}

tHashTable::~tHashTable()
{
    for (THashEntry* Head : FBuckets) {
        while (Head) {
            THashEntry* Following = Head->Next;
            delete Head;
            Head = Following;
        }
    }
}

qint32 tHashTable::HashOf(const QByteArray& Key)
{
    const qsizetype L = Key.size();
    // The byte at position L is the string's terminating zero.
    auto ByteAt = [&Key, L](qsizetype I) -> quint32 {
        return I < L ? static_cast<quint8>(Key.at(I)) : 0u;
    };
    const qsizetype Words = (L + 1) / 4;
    quint32 H = 0;
    for (qsizetype I = 0; I < Words; ++I) {
        const quint32 W = ByteAt(4 * I) | (ByteAt(4 * I + 1) << 8) | (ByteAt(4 * I + 2) << 16)
            | (ByteAt(4 * I + 3) << 24);
        H = (H * 9u + static_cast<quint32>(I)) ^ W;
    }
    for (qsizetype I = 4 * Words; I < L; ++I)
        H = H * 33u + ByteAt(I);
    return Wrapped(H);
}

int tHashTable::BucketOf(const QByteArray& Key) const
{
    Assert(!FBuckets.empty(), UnitName);
    const qint32 H = HashOf(Key);
    // The magnitude as an unsigned number, so that -2^31 gives 2^31.
    const quint32 Magnitude = H < 0 ? 0u - static_cast<quint32>(H) : static_cast<quint32>(H);
    return static_cast<int>(Magnitude % static_cast<quint32>(FBuckets.size()));
}

void tHashTable::BumpStamp()
{
    FStamp = Wrapped(static_cast<quint32>(FStamp) + 1u);
}

THashEntry* tHashTable::Find(const QByteArray& Key) const
{
    if (FBuckets.empty())
        return nullptr;
    for (THashEntry* E = FBuckets[static_cast<size_t>(BucketOf(Key))]; E; E = E->Next)
        if (E->Key == Key)
            return E;
    return nullptr;
}

void tHashTable::Rehash(int M)
{
    Assert(M >= 0 && (M >= 1 || FEntryCount == 0), UnitName);
    THashEntryTable Old(static_cast<size_t>(M), nullptr);
    Old.swap(FBuckets);
    BumpStamp();
    for (THashEntry* E : Old) {
        while (E) {
            THashEntry* Following = E->Next;
            THashEntry*& Head = FBuckets[static_cast<size_t>(BucketOf(E->Key))];
            E->Next = Head;
            Head = E;
            E = Following;
        }
    }
}

void tHashTable::Grow()
{
    const int N = BucketCount();
    Rehash(3 * N / 2 + 3);
}

void tHashTable::Put(const QByteArray& Key, const QByteArray& Value)
{
    Store(Key, Value);
}

std::unique_ptr<tHashTableIterator> tHashTable::NewIterator()
{
    return std::make_unique<tHashTableIterator>(this);
}

bool tHashTable::ContainsKey(const QByteArray& Key) const
{
    return Find(Key) != nullptr;
}

bool tHashTable::ContainsValue(const QByteArray& Value) const
{
    for (THashEntry* E : FBuckets)
        for (; E; E = E->Next)
            if (E->Value == Value)
                return true;
    return false;
}

QByteArray tHashTable::Get(const QByteArray& Key) const
{
    const THashEntry* E = Find(Key);
    return E ? E->Value : QByteArray();
}

bool tHashTable::Store(const QByteArray& Key, const QByteArray& Value)
{
    if (THashEntry* Existing = Find(Key)) {
        Existing->Value = Value;
        return false;
    }
    BumpStamp();
    ++FEntryCount;
    // 64-bit so that the comparison itself cannot overflow.
    if (3 * static_cast<qint64>(BucketCount()) < 4 * static_cast<qint64>(FEntryCount))
        Grow();
    THashEntry*& Head = FBuckets[static_cast<size_t>(BucketOf(Key))];
    Head = new THashEntry{Key, Value, Head};
    return true;
}

QByteArray tHashTable::Remove(const QByteArray& Key)
{
    QByteArray Result;
    if (FBuckets.empty())
        return Result;
    THashEntry* Predecessor = nullptr;
    THashEntry*& Head = FBuckets[static_cast<size_t>(BucketOf(Key))];
    for (THashEntry* E = Head; E; Predecessor = E, E = E->Next) {
        if (E->Key != Key)
            continue;
        BumpStamp();
        Result = E->Value;
        if (Predecessor)
            Predecessor->Next = E->Next;
        else
            Head = E->Next;
        delete E;
        --FEntryCount;
        break;
    }
    return Result;
}

qint32 tHashTable::Count() const
{
    return FEntryCount;
}

void tHashTable::Clear()
{
    for (THashEntry*& Head : FBuckets) {
        while (Head) {
            THashEntry* Following = Head->Next;
            delete Head;
            Head = Following;
        }
    }
    FEntryCount = 0;
    BumpStamp();
}

std::shared_ptr<const tHashTable*> tHashTable::LivenessToken()
{
    if (!FLiveness)
        FLiveness = std::make_shared<const tHashTable*>(this);
    return FLiveness;
}

// -------------------------------------------------------- tHashTableIterator

tHashTableIterator::tHashTableIterator(tHashTable* Table)
    : FTable(Table)
{
    Assert(Table != nullptr, UnitName);
    FTableAlive = Table->LivenessToken();
    FExpectedStamp = Table->Stamp();
    if (Table->Count() > 0) {
        const THashEntryTable& Buckets = Table->FBuckets;
        for (size_t I = 0; I < Buckets.size(); ++I) {
            if (Buckets[I]) {
                FCurrent = Buckets[I];
                FBucketIndex = static_cast<int>(I);
                break;
            }
        }
    }
}

bool tHashTableIterator::IsValid()
{
    return !FTableAlive.expired() && FTable->Stamp() == FExpectedStamp;
}

void tHashTableIterator::CheckValid()
{
    if (!IsValid())
        throw EHashTableError(QString::fromLatin1(IteratorNoLongerValid));
}

void tHashTableIterator::Advance()
{
    if (!FCurrent)
        return;
    if (FCurrent->Next) {
        FCurrent = FCurrent->Next;
        return;
    }
    const THashEntryTable& Buckets = FTable->FBuckets;
    for (size_t I = static_cast<size_t>(FBucketIndex) + 1; I < Buckets.size(); ++I) {
        if (Buckets[I]) {
            FCurrent = Buckets[I];
            FBucketIndex = static_cast<int>(I);
            return;
        }
    }
    FCurrent = nullptr;
}

void tHashTableIterator::Next()
{
    CheckValid();
    if (FCurrentRemoved) {
        // RemoveCurrent already stepped onto the following entry.
        FCurrentRemoved = false;
        return;
    }
    if (FCurrent && FPosition < FTable->Count()) {
        Advance();
        if (FCurrent)
            ++FPosition;
    }
}

void tHashTableIterator::RemoveCurrent()
{
    CheckValid();
    if (FCurrentRemoved || !FCurrent)
        return;
    const QByteArray RemovedKey = FCurrent->Key;
    Advance();
    // Remove neither rehashes nor touches any entry but the removed one, so
    // the entry we advanced to stays where it is.
    FTable->Remove(RemovedKey);
    FCurrentRemoved = true;
    FExpectedStamp = FTable->Stamp();
}

bool tHashTableIterator::HasNext()
{
    CheckValid();
    const qint32 N = FTable->Count();
    return FPosition < N - 1 || (FCurrentRemoved && FPosition < N);
}

QByteArray tHashTableIterator::Key()
{
    CheckValid();
    return FCurrentRemoved || !FCurrent ? QByteArray() : FCurrent->Key;
}

QByteArray tHashTableIterator::Value()
{
    CheckValid();
    return FCurrentRemoved || !FCurrent ? QByteArray() : FCurrent->Value;
}

bool tHashTableIterator::IsEntryValid()
{
    CheckValid();
    return FCurrent && FPosition < FTable->Count() && !FCurrentRemoved;
}

void tHashTableIterator::SetValue(const QByteArray& Value)
{
    CheckValid();
    if (!IsEntryValid())
        throw EHashTableError(QString::fromLatin1(EntryNotValid));
    FCurrent->Value = Value;
}
