#include "util/DataStructs.h"

#include "util/Strings.h"

#include <algorithm>
#include <array>

namespace corvan {

// ---- AType ----------------------------------------------------------------------------

std::exception_ptr AType::MakeError(const std::string& message) const {
    return std::make_exception_ptr(EType(message));
}

void AType::RaiseError(const std::string& message) const {
    std::rethrow_exception(MakeError(message));
}

void AType::MethodNotImplemented(const char* method) const {
    RaiseError(std::string("Method ") + ClassName() + "." + method + " not implemented");
}

void AType::Clear() {
    MethodNotImplemented("Clear");
}
bool AType::IsEmpty() const {
    MethodNotImplemented("IsEmpty");
}
void AType::Assign(const AType& source) {
    source.AssignTo(*this);
}
void AType::AssignTo(AType& dest) const {
    RaiseError(std::string(ClassName()) + " cannot assign to " + dest.ClassName());
}
TCompareResult AType::Compare(const AType& other) const {
    RaiseError(std::string(ClassName()) + " cannot compare with " + other.ClassName());
}
uint32_t AType::Hash() const {
    RaiseError("Hash error");
}
std::string AType::GetAsString() const {
    MethodNotImplemented("GetAsString");
}
void AType::SetAsString(std::string_view) {
    MethodNotImplemented("SetAsString");
}

std::string ObjectAsString(const TObject* object) {
    auto* value = dynamic_cast<const AType*>(object);
    return value ? value->GetAsString() : std::string();
}

// ---- AArray ---------------------------------------------------------------------------

void AArray::AppendArray(const AArray& other) {
    RaiseError(std::string(ClassName()) + " can not append " + other.ClassName());
}

void AArray::CheckIndex(int index) const {
    if (index < 0 || index >= Count())
        RaiseError("Array index out of bounds");
}

void AArray::CheckRange(int index, int count) const {
    if (count < 0 || index < 0 || index > Count() || count > Count() - index)
        RaiseError("Array index out of bounds");
}

// ---- AAnsiStringArray -----------------------------------------------------------------

std::exception_ptr AAnsiStringArray::MakeError(const std::string& message) const {
    return std::make_exception_ptr(EAnsiStringArray(message));
}

int AAnsiStringArray::Append(std::string value) {
    int index = Count();
    Insert(index, std::move(value));
    return index;
}

void AAnsiStringArray::AppendArray(const AArray& source) {
    auto* o = dynamic_cast<const AAnsiStringArray*>(&source);
    if (!o)
        AArray::AppendArray(source);
    const AAnsiStringArray& other = *o;
    // Copy first: other may be this array.
    std::vector<std::string> items;
    for (int i = 0; i < other.Count(); ++i)
        items.push_back(other.GetItem(i));
    for (auto& s : items)
        Append(std::move(s));
}

int AAnsiStringArray::IndexOf(std::string_view value, bool caseSensitive, int from) const {
    for (int i = std::max(from, 0); i < Count(); ++i)
        if (caseSensitive ? GetItem(i) == value : EqualNoCase(GetItem(i), value))
            return i;
    return -1;
}

void AAnsiStringArray::Assign(const AType& source) {
    auto* other = dynamic_cast<const AAnsiStringArray*>(&source);
    if (!other)
        RaiseError(std::string(ClassName()) + " cannot assign from " + source.ClassName());
    if (other == this)
        return;
    SetCount(other->Count());
    for (int i = 0; i < other->Count(); ++i)
        SetItem(i, other->GetItem(i));
}

TCompareResult AAnsiStringArray::Compare(const AType& other) const {
    auto* o = dynamic_cast<const AAnsiStringArray*>(&other);
    if (!o)
        RaiseError(std::string(ClassName()) + " cannot compare with " + other.ClassName());
    for (int i = 0; i < Count() && i < o->Count(); ++i) {
        int c = GetItem(i).compare(o->GetItem(i));
        if (c != 0)
            return c < 0 ? TCompareResult::Less : TCompareResult::Greater;
    }
    if (Count() == o->Count())
        return TCompareResult::Equal;
    return Count() < o->Count() ? TCompareResult::Less : TCompareResult::Greater;
}

std::string AAnsiStringArray::GetAsString() const {
    std::string r;
    for (int i = 0; i < Count(); ++i) {
        if (i > 0)
            r += ',';
        r += GetItem(i);
    }
    return r;
}

// ---- TAnsiStringArray -----------------------------------------------------------------

void TAnsiStringArray::SetCount(int count) {
    if (count < 0)
        RaiseError("Array index out of bounds");
    FItems.resize(size_t(count));
}

void TAnsiStringArray::Delete(int index, int count) {
    CheckRange(index, count);
    FItems.erase(FItems.begin() + index, FItems.begin() + index + count);
}

const std::string& TAnsiStringArray::GetItem(int index) const {
    CheckIndex(index);
    return FItems[size_t(index)];
}

void TAnsiStringArray::SetItem(int index, std::string value) {
    CheckIndex(index);
    FItems[size_t(index)] = std::move(value);
}

void TAnsiStringArray::Insert(int index, std::string value) {
    CheckRange(index, 0);
    FItems.insert(FItems.begin() + index, std::move(value));
}

void TAnsiStringArray::Sort(bool caseSensitive) {
    if (caseSensitive)
        std::stable_sort(FItems.begin(), FItems.end());
    else
        std::stable_sort(
            FItems.begin(), FItems.end(),
            [](const std::string& a, const std::string& b) { return CompareNoCase(a, b) < 0; });
}

// ---- AObjectArray / TObjectArray ------------------------------------------------------

std::exception_ptr AObjectArray::MakeError(const std::string& message) const {
    return std::make_exception_ptr(EObjectArray(message));
}

int AObjectArray::IndexOf(const TObject* item) const {
    for (int i = 0; i < Count(); ++i)
        if (GetItem(i) == item)
            return i;
    return -1;
}

TObjectArray::~TObjectArray() {
    Clear();
}

void TObjectArray::CheckOwner(bool wanted, const char* method) const {
    if (FIsItemOwner != wanted)
        RaiseError(std::string(ClassName()) + "." + method +
                   (FIsItemOwner ? ": array owns its items, pass ownership"
                                 : ": array does not own its items, pass a reference"));
}

void TObjectArray::Destroy(TObject* item) const {
    if (FIsItemOwner)
        delete item;
}

void TObjectArray::SetCount(int count) {
    if (count < 0)
        RaiseError("Array index out of bounds");
    if (size_t(count) < FItems.size())
        Delete(count, int(FItems.size()) - count);
    else
        FItems.resize(size_t(count), nullptr);
}

void TObjectArray::Delete(int index, int count) {
    CheckRange(index, count);
    // Unlink first, destroy after: a destructor may look at the array.
    std::vector<TObject*> gone(FItems.begin() + index, FItems.begin() + index + count);
    FItems.erase(FItems.begin() + index, FItems.begin() + index + count);
    for (TObject* item : gone)
        Destroy(item);
}

TObject* TObjectArray::GetItem(int index) const {
    CheckIndex(index);
    return FItems[size_t(index)];
}

int TObjectArray::Append(std::unique_ptr<TObject> item) {
    int index = Count();
    Insert(index, std::move(item));
    return index;
}

void TObjectArray::Insert(int index, std::unique_ptr<TObject> item) {
    CheckOwner(true, "Insert");
    CheckRange(index, 0);
    FItems.insert(FItems.begin() + index, item.get());
    item.release();
}

void TObjectArray::SetItem(int index, std::unique_ptr<TObject> item) {
    CheckOwner(true, "SetItem");
    CheckIndex(index);
    TObject* old = FItems[size_t(index)];
    FItems[size_t(index)] = item.release();
    if (old != FItems[size_t(index)])
        Destroy(old);
}

int TObjectArray::Append(TObject* item) {
    int index = Count();
    Insert(index, item);
    return index;
}

void TObjectArray::Insert(int index, TObject* item) {
    CheckOwner(false, "Insert");
    CheckRange(index, 0);
    FItems.insert(FItems.begin() + index, item);
}

void TObjectArray::SetItem(int index, TObject* item) {
    CheckOwner(false, "SetItem");
    CheckIndex(index);
    FItems[size_t(index)] = item;
}

void TObjectArray::AppendArray(const AArray& source) {
    auto* other = dynamic_cast<const AObjectArray*>(&source);
    if (!other || FIsItemOwner)
        AArray::AppendArray(source);
    std::vector<TObject*> items; // other may be this array
    for (int i = 0; i < other->Count(); ++i)
        items.push_back(other->GetItem(i));
    FItems.insert(FItems.end(), items.begin(), items.end());
}

std::unique_ptr<TObject> TObjectArray::ReleaseItem(int index) {
    CheckOwner(true, "ReleaseItem");
    CheckIndex(index);
    std::unique_ptr<TObject> item(FItems[size_t(index)]);
    FItems.erase(FItems.begin() + index);
    return item;
}

// ---- Dictionaries ---------------------------------------------------------------------

std::exception_ptr ADictionary::MakeError(const std::string& message) const {
    return std::make_exception_ptr(EDictionary(message));
}

std::exception_ptr AObjectDictionary::MakeError(const std::string& message) const {
    return std::make_exception_ptr(EObjectDictionary(message));
}

TObject* AObjectDictionary::GetItem(std::string_view key) const {
    TObject* value = nullptr;
    if (LocateItem(key, value) < 0)
        RaiseError("Key not found: " + std::string(key));
    return value;
}

bool AObjectDictionary::HasKey(std::string_view key) const {
    TObject* value = nullptr;
    return LocateItem(key, value) >= 0;
}

std::string AObjectDictionary::GetAsString() const {
    std::string r;
    for (int i = 0; i < Count(); ++i) {
        if (i > 0)
            r += ',';
        r += GetKeyByIndex(i) + ":" + ObjectAsString(GetItemByIndex(i));
    }
    return r;
}

namespace {

// Longest key hashed whole; longer keys are sampled (see DictionaryKeyHash).
constexpr size_t kKeyHashSampleLength = 48;
// Average entries per bucket before the table grows.
constexpr size_t kEntriesPerBucket = 4;

constexpr std::array<uint32_t, 256> MakeCrcTable() {
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    return table;
}
constexpr std::array<uint32_t, 256> CrcTable = MakeCrcTable();

uint32_t CrcUpdate(uint32_t crc, std::string_view bytes, bool caseSensitive) {
    for (char ch : bytes) {
        uint8_t b = uint8_t(caseSensitive ? ch : AsciiLower(ch));
        crc = CrcTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    }
    return crc;
}

} // namespace

uint32_t DictionaryKeyHash(std::string_view key, bool caseSensitive) {
    uint32_t crc = 0xFFFFFFFFu;
    if (key.size() <= kKeyHashSampleLength)
        return CrcUpdate(crc, key, caseSensitive);
    crc = CrcUpdate(crc, key.substr(0, 16), caseSensitive);
    crc = CrcUpdate(crc, key.substr(key.size() - 16), caseSensitive);
    size_t stride = ((key.size() - kKeyHashSampleLength) >> 4) + 1;
    for (size_t i = 0, pos = 16; i < 16; ++i, pos += stride)
        crc = CrcUpdate(crc, key.substr(pos, 1), caseSensitive);
    return crc;
}

size_t DictionaryHashTableSize(size_t entries) {
    static constexpr size_t sizes[] = {16, 256, 4096, 65536, 1048576, 16777216};
    for (size_t s : sizes)
        if (s * kEntriesPerBucket >= entries)
            return s;
    return 268435456;
}

TGeneralObjectDictionary::TGeneralObjectDictionary(std::unique_ptr<TAnsiStringArray> keys,
                                                   std::unique_ptr<TObjectArray> values,
                                                   TDictionaryDuplicatesAction duplicatesAction,
                                                   bool keysCaseSensitive, bool valuesOwner)
    : FKeys(keys ? std::move(keys) : std::make_unique<TAnsiStringArray>()),
      FValues(values ? std::move(values) : std::make_unique<TObjectArray>(valuesOwner)),
      FDuplicates(duplicatesAction), FCaseSensitive(keysCaseSensitive) {
    FValues->SetIsItemOwner(valuesOwner);
    if (FKeys->Count() != FValues->Count())
        RaiseError("Dictionary keys and values differ in count");
    RebuildHash(DictionaryHashTableSize(size_t(FKeys->Count())));
}

bool TGeneralObjectDictionary::SameKey(std::string_view a, std::string_view b) const {
    return FCaseSensitive ? a == b : EqualNoCase(a, b);
}

uint32_t TGeneralObjectDictionary::KeyHash(std::string_view key) const {
    return DictionaryKeyHash(key, FCaseSensitive);
}

void TGeneralObjectDictionary::RebuildHash(size_t bucketCount) {
    std::vector<std::vector<int>> buckets(bucketCount);
    for (int i = 0; i < FKeys->Count(); ++i)
        buckets[KeyHash(FKeys->GetItem(i)) & (bucketCount - 1)].push_back(i);
    FBuckets.swap(buckets);
}

const std::string& TGeneralObjectDictionary::GetKeyByIndex(int index) const {
    return FKeys->GetItem(index);
}

TObject* TGeneralObjectDictionary::GetItemByIndex(int index) const {
    return FValues->GetItem(index);
}

int TGeneralObjectDictionary::LocateItem(std::string_view key, TObject*& value) const {
    value = nullptr;
    for (int index : FBuckets[KeyHash(key) & (FBuckets.size() - 1)])
        if (SameKey(FKeys->GetItem(index), key)) {
            value = FValues->GetItem(index);
            return index;
        }
    return -1;
}

int TGeneralObjectDictionary::PrepareAdd(std::string_view key) const {
    if (FDuplicates == TDictionaryDuplicatesAction::Accept)
        return -1;
    TObject* old = nullptr;
    int index = LocateItem(key, old);
    if (index >= 0 && FDuplicates == TDictionaryDuplicatesAction::Error)
        RaiseError("Duplicate key: " + std::string(key));
    return index;
}

int TGeneralObjectDictionary::FinishAdd(std::string_view key) {
    int index = FKeys->Append(std::string(key));
    size_t count = size_t(FKeys->Count());
    if (FBuckets.size() * kEntriesPerBucket < count)
        RebuildHash(DictionaryHashTableSize(count));
    else
        FBuckets[KeyHash(key) & (FBuckets.size() - 1)].push_back(index);
    return index;
}

int TGeneralObjectDictionary::Add(std::string_view key, std::unique_ptr<TObject> value) {
    int existing = PrepareAdd(key);
    if (existing >= 0)
        return existing; // value is destroyed here: the old one stays
    FValues->Append(std::move(value));
    return FinishAdd(key);
}

int TGeneralObjectDictionary::Add(std::string_view key, TObject* value) {
    int existing = PrepareAdd(key);
    if (existing >= 0)
        return existing;
    FValues->Append(value);
    return FinishAdd(key);
}

void TGeneralObjectDictionary::DeleteIndex(int index) {
    FKeys->GetItem(index); // bounds check before anything changes
    FKeys->Delete(index);
    RebuildHash(FBuckets.size()); // indices after the deleted one have moved
    FValues->Delete(index);
}

void TGeneralObjectDictionary::Delete(std::string_view key) {
    TObject* value = nullptr;
    int index = LocateItem(key, value);
    if (index < 0)
        RaiseError("Key not found: " + std::string(key));
    DeleteIndex(index);
}

std::unique_ptr<TObject> TGeneralObjectDictionary::ReleaseItem(std::string_view key) {
    TObject* value = nullptr;
    int index = LocateItem(key, value);
    if (index < 0)
        RaiseError("Key not found: " + std::string(key));
    std::unique_ptr<TObject> item = FValues->ReleaseItem(index);
    FKeys->Delete(index);
    RebuildHash(FBuckets.size());
    return item;
}

void TGeneralObjectDictionary::Clear() {
    FKeys->Clear();
    FValues->Clear();
    RebuildHash(DictionaryHashTableSize(0));
}

// ---- TDoublyLinkedList ----------------------------------------------------------------

void TDoublyLinkedList::CheckFree(const TDoublyLinkedItem* item) const {
    if (!item)
        throw EDoublyLinkedList("TDoublyLinkedList: null item");
    if (item->FList)
        throw EDoublyLinkedList("TDoublyLinkedList: item is already in a list");
}

void TDoublyLinkedList::CheckMine(const TDoublyLinkedItem* item) const {
    if (!item || item->FList != this)
        throw EDoublyLinkedList("TDoublyLinkedList: item is not in this list");
}

TDoublyLinkedItem* TDoublyLinkedList::InsertBefore(TDoublyLinkedItem* pos,
                                                   std::unique_ptr<TDoublyLinkedItem> item) {
    CheckFree(item.get());
    if (pos)
        CheckMine(pos);
    TDoublyLinkedItem* p = item.release();
    p->FList = this;
    p->FNext = pos;
    p->FPrev = pos ? pos->FPrev : FLast;
    (p->FPrev ? p->FPrev->FNext : FFirst) = p;
    (pos ? pos->FPrev : FLast) = p;
    ++FCount;
    return p;
}

TDoublyLinkedItem* TDoublyLinkedList::Append(std::unique_ptr<TDoublyLinkedItem> item) {
    return InsertBefore(nullptr, std::move(item));
}

TDoublyLinkedItem* TDoublyLinkedList::InsertFront(std::unique_ptr<TDoublyLinkedItem> item) {
    return InsertBefore(FFirst, std::move(item));
}

TDoublyLinkedString* TDoublyLinkedList::AppendString(std::string value) {
    return static_cast<TDoublyLinkedString*>(
        Append(std::make_unique<TDoublyLinkedString>(std::move(value))));
}

std::unique_ptr<TDoublyLinkedItem> TDoublyLinkedList::Remove(TDoublyLinkedItem* item) {
    CheckMine(item);
    (item->FPrev ? item->FPrev->FNext : FFirst) = item->FNext;
    (item->FNext ? item->FNext->FPrev : FLast) = item->FPrev;
    item->FPrev = item->FNext = nullptr;
    item->FList = nullptr;
    --FCount;
    return std::unique_ptr<TDoublyLinkedItem>(item);
}

std::unique_ptr<TDoublyLinkedItem> TDoublyLinkedList::RemoveFirst() {
    return FFirst ? Remove(FFirst) : nullptr;
}

std::unique_ptr<TDoublyLinkedItem> TDoublyLinkedList::RemoveLast() {
    return FLast ? Remove(FLast) : nullptr;
}

void TDoublyLinkedList::Clear() {
    while (FFirst)
        RemoveFirst();
}

} // namespace corvan
