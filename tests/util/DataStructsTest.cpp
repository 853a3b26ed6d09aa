#include "util/DataStructs.h"
#include "util/Strings.h"

#include <gtest/gtest.h>

using namespace corvan;

namespace {

// An object that counts its own destructions, to see who destroys what.
struct TCounted : TObject {
    explicit TCounted(int* deaths, int tag = 0) : Deaths(deaths), Tag(tag) {}
    ~TCounted() override { ++*Deaths; }
    int* Deaths;
    int Tag;
};

// Bit-by-bit CRC-32 as the dictionary defines it (no table, no final inversion).
uint32_t ReferenceCrc(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ ((crc & 1) ? 0xEDB88320u : 0u);
    }
    return crc;
}

// The message of the E that f raises, or "" when it raises nothing.
template <class E, class F> std::string ErrorOf(F f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "";
}

} // namespace

TEST(AnsiStringArray, BoundsAreCheckedOnEveryAccess) {
    TAnsiStringArray a({"x", "y"});
    EXPECT_THROW(a.GetItem(2), EAnsiStringArray);
    EXPECT_THROW(a.GetItem(-1), EArray);
    EXPECT_THROW(a.SetItem(2, "z"), EAnsiStringArray);
    EXPECT_THROW(a.Delete(1, 2), EAnsiStringArray);
    EXPECT_THROW(a.Insert(3, "z"), EAnsiStringArray);
    EXPECT_EQ(ErrorOf<EType>([&] { a.GetItem(5); }), "Array index out of bounds");
    a.Insert(2, "z"); // at Count appends
    a.Insert(0, "w");
    EXPECT_EQ(a.GetAsString(), "w,x,y,z");
    a.Delete(1, 2);
    EXPECT_EQ(a.GetAsString(), "w,z");
}

TEST(AnsiStringArray, SearchSortAssignCompare) {
    TAnsiStringArray a({"b", "A", "a", "C"});
    EXPECT_EQ(a.IndexOf("a"), 2);
    EXPECT_EQ(a.IndexOf("a", false), 1);
    EXPECT_EQ(a.IndexOf("a", false, 2), 2);
    EXPECT_EQ(a.IndexOf("d", false), -1);
    a.Sort(false);
    EXPECT_EQ(a.GetAsString(), "A,a,b,C"); // stable: "A" stays before "a"
    a.AppendArray(a);
    EXPECT_EQ(a.Count(), 8);

    TAnsiStringArray b;
    b.Assign(a);
    EXPECT_EQ(b.Compare(a), TCompareResult::Equal);
    b.SetItem(7, "D");
    EXPECT_EQ(b.Compare(a), TCompareResult::Greater);
    b.SetCount(3);
    EXPECT_EQ(b.Compare(a), TCompareResult::Less);

    TObjectArray objects;
    EXPECT_EQ(ErrorOf<EAnsiStringArray>([&] { b.Assign(objects); }),
              "TAnsiStringArray cannot assign from TObjectArray");
    EXPECT_EQ(ErrorOf<EAnsiStringArray>([&] { b.Compare(objects); }),
              "TAnsiStringArray cannot compare with TObjectArray");
}

TEST(AType, MissingOperationsRaiseNamedErrors) {
    TObjectArray a;
    TAnsiStringArray s;
    EXPECT_EQ(ErrorOf<EObjectArray>([&] { a.Hash(); }), "Hash error");
    EXPECT_EQ(ErrorOf<EObjectArray>([&] { a.SetAsString("x"); }),
              "Method TObjectArray.SetAsString not implemented");
    EXPECT_EQ(ErrorOf<EAnsiStringArray>([&] { s.Assign(a); }),
              "TAnsiStringArray cannot assign from TObjectArray");
    EXPECT_EQ(ErrorOf<EAnsiStringArray>([&] { s.AppendArray(a); }),
              "TAnsiStringArray can not append TObjectArray");
    EXPECT_EQ(ErrorOf<EAnsiStringArray>([&] { a.Assign(s); }),
              "TAnsiStringArray cannot assign to TObjectArray");
}

TEST(ObjectArray, OwningArrayDestroysRemovedReplacedAndRemainingItems) {
    int deaths = 0;
    {
        TObjectArray a(true);
        for (int i = 0; i < 5; ++i)
            a.Append(std::make_unique<TCounted>(&deaths, i));
        a.Delete(1, 2);
        EXPECT_EQ(deaths, 2);
        EXPECT_EQ(a.ItemAs<TCounted>(1)->Tag, 3);

        a.SetItem(0, std::make_unique<TCounted>(&deaths, 9));
        EXPECT_EQ(deaths, 3);
        // Putting back the very object the slot holds must not destroy it.
        std::unique_ptr<TObject> same = a.ReleaseItem(0);
        a.Insert(0, std::move(same));
        EXPECT_EQ(deaths, 3);

        std::unique_ptr<TObject> kept = a.ReleaseItem(2);
        EXPECT_EQ(deaths, 3);
        EXPECT_EQ(a.Count(), 2);
        EXPECT_EQ(static_cast<TCounted*>(kept.get())->Tag, 4);

        a.SetCount(1);
        EXPECT_EQ(deaths, 4);
        a.SetCount(3); // grows with null items
        EXPECT_EQ(a.GetItem(2), nullptr);
    }
    EXPECT_EQ(deaths, 6); // the remaining one and the released one
}

TEST(ObjectArray, OwnershipIsStatedAtTheCall) {
    int deaths = 0;
    TCounted local(&deaths);
    {
        TObjectArray refs(false);
        refs.Append(&local);
        refs.Append(&local);
        EXPECT_EQ(refs.IndexOf(&local), 0);
        EXPECT_THROW(refs.Append(std::make_unique<TCounted>(&deaths)), EObjectArray);
        EXPECT_THROW(refs.ReleaseItem(0), EObjectArray);
        refs.Delete(0);
        EXPECT_EQ(refs.Count(), 1);
        refs.AppendArray(refs);
        EXPECT_EQ(refs.Count(), 2);
        EXPECT_EQ(refs.GetItem(1), &local);
    }
    EXPECT_EQ(deaths, 1); // only the unique_ptr refused above, never the referenced one

    TObjectArray owner(true);
    EXPECT_THROW(owner.Append(&local), EObjectArray);
    TObjectArray refs(false);
    refs.Append(&local);
    // Two owners of one object would destroy it twice.
    EXPECT_EQ(ErrorOf<EObjectArray>([&] { owner.AppendArray(refs); }),
              "TObjectArray can not append TObjectArray");
    EXPECT_EQ(owner.Count(), 0);
    EXPECT_THROW(owner.GetItem(0), EObjectArray);
}

TEST(ObjectDictionary, SixtyFifthEntryGrowsSixteenBucketsToTwoHundredFiftySix) {
    TObjectDictionary d(true);
    int deaths = 0;
    EXPECT_EQ(d.HashTableSize(), 16u);
    for (int i = 0; i < 64; ++i)
        d.Add(Format("key%d", i), std::make_unique<TCounted>(&deaths, i));
    EXPECT_EQ(d.HashTableSize(), 16u);
    d.Add("key64", std::make_unique<TCounted>(&deaths, 64));
    EXPECT_EQ(d.HashTableSize(), 256u);
    for (int i = 0; i <= 64; ++i)
        ASSERT_EQ(d.ItemAs<TCounted>(Format("key%d", i))->Tag, i);
    // Insertion order is the index order.
    EXPECT_EQ(d.GetKeyByIndex(10), "key10");

    EXPECT_EQ(DictionaryHashTableSize(1024), 256u);
    EXPECT_EQ(DictionaryHashTableSize(1025), 4096u);
    EXPECT_EQ(DictionaryHashTableSize(4u * 16777216 + 1), 268435456u);
}

TEST(ObjectDictionary, CaseInsensitiveKeysAreOneKey) {
    TObjectDictionary d(true, false);
    int deaths = 0;
    d.Add("NS1.Example.COM", std::make_unique<TCounted>(&deaths, 1));
    EXPECT_TRUE(d.HasKey("ns1.example.com"));
    EXPECT_EQ(d.ItemAs<TCounted>("ns1.EXAMPLE.com")->Tag, 1);
    EXPECT_THROW(d.Add("ns1.example.com", std::make_unique<TCounted>(&deaths)), EObjectDictionary);
    EXPECT_EQ(DictionaryKeyHash("AbC", false), DictionaryKeyHash("abc", true));

    TObjectDictionary exact(true, true);
    exact.Add("Key", std::make_unique<TCounted>(&deaths, 1));
    EXPECT_FALSE(exact.HasKey("key"));
    EXPECT_EQ(ErrorOf<EObjectDictionary>([&] { exact.GetItem("key"); }), "Key not found: key");
}

TEST(ObjectDictionary, DuplicateActions) {
    int deaths = 0;
    TObjectDictionary raise(true, true, TDictionaryDuplicatesAction::Error);
    raise.Add("a", std::make_unique<TCounted>(&deaths, 1));
    EXPECT_EQ(
        ErrorOf<EObjectDictionary>([&] { raise.Add("a", std::make_unique<TCounted>(&deaths, 2)); }),
        "Duplicate key: a");
    EXPECT_EQ(deaths, 1); // the refused value is not leaked
    EXPECT_EQ(raise.Count(), 1);

    TObjectDictionary accept(true, true, TDictionaryDuplicatesAction::Accept);
    accept.Add("a", std::make_unique<TCounted>(&deaths, 1));
    EXPECT_EQ(accept.Add("a", std::make_unique<TCounted>(&deaths, 2)), 1);
    EXPECT_EQ(accept.Count(), 2);
    EXPECT_EQ(accept.ItemAs<TCounted>("a")->Tag, 1); // lookups find the first
    accept.Delete("a");
    EXPECT_EQ(accept.ItemAs<TCounted>("a")->Tag, 2);

    TObjectDictionary ignore(true, true, TDictionaryDuplicatesAction::Ignore);
    ignore.Add("a", std::make_unique<TCounted>(&deaths, 1));
    deaths = 0;
    EXPECT_EQ(ignore.Add("a", std::make_unique<TCounted>(&deaths, 2)), 0);
    EXPECT_EQ(ignore.Count(), 1);
    EXPECT_EQ(ignore.ItemAs<TCounted>("a")->Tag, 1);
    EXPECT_EQ(deaths, 1); // the ignored new value is destroyed, not leaked
}

TEST(ObjectDictionary, LongKeysAreHashedOverFortyEightSampledBytes) {
    std::string key;
    for (int i = 0; i < 200; ++i)
        key += char('A' + i % 26);
    // Stride ((200 - 48) >> 4) + 1 = 10 from offset 16.
    std::string sample = key.substr(0, 16) + key.substr(184, 16);
    for (int i = 0; i < 16; ++i)
        sample += key[16 + i * 10];
    EXPECT_EQ(DictionaryKeyHash(key, true), ReferenceCrc(sample));
    EXPECT_EQ(DictionaryKeyHash(key, false), ReferenceCrc(AsciiLowerCase(sample)));

    // A byte that is not sampled does not change the hash, one that is does.
    std::string other = key;
    other[17] = '#';
    EXPECT_EQ(DictionaryKeyHash(other, true), DictionaryKeyHash(key, true));
    other[26] = '#';
    EXPECT_NE(DictionaryKeyHash(other, true), DictionaryKeyHash(key, true));

    // Up to 48 bytes the whole key counts; 49 bytes use stride 1 from offset 16.
    std::string k48(48, 'x');
    EXPECT_EQ(DictionaryKeyHash(k48, true), ReferenceCrc(k48));
    std::string k49 = k48 + "y";
    EXPECT_EQ(DictionaryKeyHash(k49, true),
              ReferenceCrc(k49.substr(0, 16) + k49.substr(33, 16) + k49.substr(16, 16)));

    // Keys that share a hash still stay apart.
    TObjectDictionary d(true);
    int deaths = 0;
    d.Add(key, std::make_unique<TCounted>(&deaths, 1));
    std::string twin = key;
    twin[17] = '#';
    d.Add(twin, std::make_unique<TCounted>(&deaths, 2));
    EXPECT_EQ(d.ItemAs<TCounted>(key)->Tag, 1);
    EXPECT_EQ(d.ItemAs<TCounted>(twin)->Tag, 2);
}

TEST(ObjectDictionary, DeleteReleaseAndTextKeepLookupsRight) {
    int deaths = 0;
    TObjectDictionary d(true);
    for (int i = 0; i < 70; ++i)
        d.Add(Format("k%d", i), std::make_unique<TCounted>(&deaths, i));
    d.Delete("k3");
    EXPECT_EQ(deaths, 1);
    EXPECT_FALSE(d.HasKey("k3"));
    for (int i = 4; i < 70; ++i) // entries after the deleted one moved down
        ASSERT_EQ(d.ItemAs<TCounted>(Format("k%d", i))->Tag, i);
    std::unique_ptr<TObject> v = d.ReleaseItem("k69");
    EXPECT_EQ(deaths, 1);
    EXPECT_FALSE(d.HasKey("k69"));
    EXPECT_EQ(d.ItemAs<TCounted>("k68")->Tag, 68);
    EXPECT_THROW(d.Delete("k3"), EObjectDictionary);
    d.Clear();
    EXPECT_EQ(deaths, 69);
    EXPECT_EQ(d.HashTableSize(), 16u);

    TObjectDictionary text(true);
    text.Add("a", std::make_unique<TAnsiStringArray>(std::vector<std::string>{"1", "2"}));
    text.Add("b", std::make_unique<TCounted>(&deaths));
    EXPECT_EQ(text.GetAsString(), "a:1,2,b:");
}

TEST(ObjectDictionary, GivenArraysAreUsedAndChecked) {
    auto keys = std::make_unique<TAnsiStringArray>(std::vector<std::string>{"x", "y"});
    auto values = std::make_unique<TObjectArray>(false);
    int deaths = 0;
    TCounted x(&deaths, 1), y(&deaths, 2);
    values->Append(&x);
    values->Append(&y);
    TGeneralObjectDictionary d(std::move(keys), std::move(values),
                               TDictionaryDuplicatesAction::Error, true, false);
    EXPECT_EQ(d.ItemAs<TCounted>("y")->Tag, 2);

    auto oneKey = std::make_unique<TAnsiStringArray>(std::vector<std::string>{"x"});
    EXPECT_THROW(TGeneralObjectDictionary(std::move(oneKey), nullptr,
                                          TDictionaryDuplicatesAction::Error, true, true),
                 EObjectDictionary);
}

TEST(DoublyLinkedList, LinksStayConsistentThroughEveryRemoval) {
    TDoublyLinkedList l;
    EXPECT_EQ(l.RemoveFirst(), nullptr);
    EXPECT_EQ(l.RemoveLast(), nullptr);
    auto* b = l.AppendString("b");
    auto* a = l.InsertFront(std::make_unique<TDoublyLinkedString>("a"));
    auto* d = l.AppendString("d");
    auto* c = l.InsertBefore(d, std::make_unique<TDoublyLinkedString>("c"));
    auto text = [&] {
        std::string fwd, back;
        for (auto* i = l.First(); i; i = i->Next())
            fwd += static_cast<TDoublyLinkedString*>(i)->Value;
        for (auto* i = l.Last(); i; i = i->Prev())
            back += static_cast<TDoublyLinkedString*>(i)->Value;
        return fwd + "|" + back + "|" + std::to_string(l.Count());
    };
    EXPECT_EQ(text(), "abcd|dcba|4");
    l.Delete(c); // middle
    EXPECT_EQ(text(), "abd|dba|3");
    auto first = l.RemoveFirst();
    EXPECT_EQ(first.get(), a);
    EXPECT_EQ(first->Next(), nullptr);
    EXPECT_EQ(text(), "bd|db|2");
    l.RemoveLast();
    EXPECT_EQ(text(), "b|b|1");
    EXPECT_EQ(l.First(), b);
    EXPECT_EQ(l.Last(), b);
    l.Delete(b); // the only item
    EXPECT_EQ(text(), "||0");
    EXPECT_TRUE(l.IsEmpty());

    // A removed item can go into another list; foreign items are refused.
    TDoublyLinkedList other;
    other.Append(std::move(first));
    auto* x = other.AppendString("x");
    EXPECT_THROW(l.Remove(x), EDoublyLinkedList);
    EXPECT_THROW(l.InsertBefore(x, std::make_unique<TDoublyLinkedString>()), EDoublyLinkedList);
    EXPECT_EQ(other.Count(), 2);
}

TEST(DoublyLinkedList, ClearAndDestructionFreeEveryItem) {
    struct TItem : TDoublyLinkedItem {
        explicit TItem(int* deaths) : Deaths(deaths) {}
        ~TItem() override { ++*Deaths; }
        int* Deaths;
    };
    int deaths = 0;
    {
        TDoublyLinkedList l;
        for (int i = 0; i < 3; ++i)
            l.Append(std::make_unique<TItem>(&deaths));
        l.Clear();
        EXPECT_EQ(deaths, 3);
        for (int i = 0; i < 2; ++i)
            l.Append(std::make_unique<TItem>(&deaths));
    }
    EXPECT_EQ(deaths, 5);
}
