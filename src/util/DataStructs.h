#pragma once
// Generic containers: typed arrays (strings, objects) and a hashed dictionary from string
// keys to objects, all on the abstract value `AType`, plus an intrusive doubly linked list.
//
// Ownership: an owning `TObjectArray` (and a dictionary whose values array owns) destroys an
// object when it is removed, replaced or the container is destroyed; such containers take
// objects only as std::unique_ptr. A non-owning container takes plain pointers and never
// destroys them. Misuse raises the class's exception (`EObjectArray`, `EObjectDictionary`...).
// None of these classes is thread-safe: the owner of a container guards it.

#include "util/Exceptions.h"

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace corvan {

// The root of every object a container can hold.
class TObject {
public:
    virtual ~TObject() = default;
};

class EType : public Exception {
public:
    using Exception::Exception;
};
class EArray : public EType {
public:
    using EType::EType;
};
class EDictionary : public EType {
public:
    using EType::EType;
};
class EAnsiStringArray : public EArray {
public:
    using EArray::EArray;
};
class EObjectArray : public EArray {
public:
    using EArray::EArray;
};
class EObjectDictionary : public EDictionary {
public:
    using EDictionary::EDictionary;
};
class EDoublyLinkedList : public EType {
public:
    using EType::EType;
};

enum class TCompareResult { Less, Equal, Greater, Undefined };

// An abstract value. Every operation a class does not provide raises its exception:
// "Method <Class>.<Op> not implemented", "<Class> cannot assign from <Class>",
// "<Class> cannot assign to <Class>", "<Class> cannot compare with <Class>"; Hash raises
// "Hash error".
class AType : public TObject {
public:
    virtual const char* ClassName() const = 0;
    virtual void Clear();
    virtual bool IsEmpty() const;
    // Copies the value of source; the default asks source.AssignTo(*this).
    virtual void Assign(const AType& source);
    virtual void AssignTo(AType& dest) const;
    virtual TCompareResult Compare(const AType& other) const;
    virtual uint32_t Hash() const;
    virtual std::string GetAsString() const;
    virtual void SetAsString(std::string_view text);

protected:
    // The exception of the class, so that every error of an array is an EArray and so on.
    virtual std::exception_ptr MakeError(const std::string& message) const;
    [[noreturn]] void RaiseError(const std::string& message) const;
    [[noreturn]] void MethodNotImplemented(const char* method) const;
};

// The text of any held object: an AType's GetAsString, empty for other objects and null.
std::string ObjectAsString(const TObject* object);

// An indexed array; an index outside 0..Count-1 raises "Array index out of bounds".
class AArray : public AType {
public:
    virtual int Count() const = 0;
    // Growing adds empty elements (empty strings, null objects); shrinking deletes.
    virtual void SetCount(int count) = 0;
    // Deletes count elements from index on; the range must lie inside the array.
    virtual void Delete(int index, int count = 1) = 0;
    // Appends the elements of other (which may be this array); an array of another kind
    // raises "<Class> can not append <Class>".
    virtual void AppendArray(const AArray& other);
    void Clear() override { SetCount(0); }
    bool IsEmpty() const override { return Count() == 0; }

protected:
    void CheckIndex(int index) const;
    void CheckRange(int index, int count) const;
};

class AAnsiStringArray : public AArray {
public:
    const char* ClassName() const override { return "AAnsiStringArray"; }
    virtual const std::string& GetItem(int index) const = 0;
    virtual void SetItem(int index, std::string value) = 0;
    // Inserts before index (index == Count appends).
    virtual void Insert(int index, std::string value) = 0;
    int Append(std::string value);
    void AppendArray(const AArray& other) override;
    // First index at or after from holding value, or -1.
    int IndexOf(std::string_view value, bool caseSensitive = true, int from = 0) const;

    // From any AAnsiStringArray; anything else "cannot assign from".
    void Assign(const AType& source) override;
    // Element by element (byte order), then by count.
    TCompareResult Compare(const AType& other) const override;
    // The items joined by ","
    std::string GetAsString() const override;

protected:
    std::exception_ptr MakeError(const std::string& message) const override;
};

class TAnsiStringArray : public AAnsiStringArray {
public:
    TAnsiStringArray() = default;
    explicit TAnsiStringArray(std::vector<std::string> items) : FItems(std::move(items)) {}
    const char* ClassName() const override { return "TAnsiStringArray"; }
    int Count() const override { return int(FItems.size()); }
    void SetCount(int count) override;
    void Delete(int index, int count = 1) override;
    const std::string& GetItem(int index) const override;
    void SetItem(int index, std::string value) override;
    void Insert(int index, std::string value) override;
    void Sort(bool caseSensitive = true);
    const std::vector<std::string>& Items() const { return FItems; }

private:
    std::vector<std::string> FItems;
};

class AObjectArray : public AArray {
public:
    const char* ClassName() const override { return "AObjectArray"; }
    virtual TObject* GetItem(int index) const = 0;
    int IndexOf(const TObject* item) const;
    template <class T> T* ItemAs(int index) const { return dynamic_cast<T*>(GetItem(index)); }

protected:
    std::exception_ptr MakeError(const std::string& message) const override;
};

class TObjectArray : public AObjectArray {
public:
    explicit TObjectArray(bool isItemOwner = false) : FIsItemOwner(isItemOwner) {}
    ~TObjectArray() override;
    TObjectArray(const TObjectArray&) = delete;
    TObjectArray& operator=(const TObjectArray&) = delete;

    const char* ClassName() const override { return "TObjectArray"; }
    bool IsItemOwner() const { return FIsItemOwner; }
    // Changing the flag changes who destroys the items already held.
    void SetIsItemOwner(bool owner) { FIsItemOwner = owner; }

    int Count() const override { return int(FItems.size()); }
    void SetCount(int count) override;
    void Delete(int index, int count = 1) override;
    TObject* GetItem(int index) const override;

    // Owning arrays: take the object. Non-owning arrays refuse these.
    int Append(std::unique_ptr<TObject> item);
    void Insert(int index, std::unique_ptr<TObject> item);
    void SetItem(int index, std::unique_ptr<TObject> item);
    // Non-owning arrays: keep a reference. Owning arrays refuse these.
    int Append(TObject* item);
    void Insert(int index, TObject* item);
    void SetItem(int index, TObject* item);

    // Owning arrays: removes the item and hands it to the caller instead of destroying it.
    std::unique_ptr<TObject> ReleaseItem(int index);
    // Non-owning arrays only: the references of another object array. An owning array
    // cannot take objects that another container holds, so it raises "can not append".
    void AppendArray(const AArray& other) override;

private:
    void CheckOwner(bool wanted, const char* method) const;
    void Destroy(TObject* item) const;

    std::vector<TObject*> FItems;
    bool FIsItemOwner;
};

class ADictionary : public AType {
public:
    const char* ClassName() const override { return "ADictionary"; }
    virtual int Count() const = 0;
    bool IsEmpty() const override { return Count() == 0; }

protected:
    std::exception_ptr MakeError(const std::string& message) const override;
};

// What adding a key that is already present does.
enum class TDictionaryDuplicatesAction : uint8_t {
    Error = 0,  // raise "Duplicate key: <key>"
    Accept = 1, // store it too; lookups find the first
    Ignore = 2, // keep the old value; the new one is dropped (destroyed when owning)
};

class AObjectDictionary : public ADictionary {
public:
    const char* ClassName() const override { return "AObjectDictionary"; }
    virtual const std::string& GetKeyByIndex(int index) const = 0;
    virtual TObject* GetItemByIndex(int index) const = 0;
    // Index of the first entry with key (or -1); value receives its object (or null).
    virtual int LocateItem(std::string_view key, TObject*& value) const = 0;

    // The value of key; a missing key raises "Key not found: <key>".
    TObject* GetItem(std::string_view key) const;
    bool HasKey(std::string_view key) const;
    template <class T> T* ItemAs(std::string_view key) const {
        return dynamic_cast<T*>(GetItem(key));
    }
    // Entries as key ":" value text, separated by ",".
    std::string GetAsString() const override;

protected:
    std::exception_ptr MakeError(const std::string& message) const override;
};

// Keys in a string array, values in an object array at the same index, and a hash table of
// buckets of indices (CRC-32 of the key, see DictionaryKeyHash). The table keeps at most
// four entries per bucket on average: its size is 16, 256, 4096, 65536, 1048576, 16777216
// or 268435456 buckets, the smallest with bucket count x 4 >= entries, and is rebuilt after
// an add that passes that load.
class TGeneralObjectDictionary : public AObjectDictionary {
public:
    // Null arrays are created empty. A given values array takes valuesOwner as its flag;
    // given arrays of different counts raise EObjectDictionary.
    TGeneralObjectDictionary(std::unique_ptr<TAnsiStringArray> keys,
                             std::unique_ptr<TObjectArray> values,
                             TDictionaryDuplicatesAction duplicatesAction, bool keysCaseSensitive,
                             bool valuesOwner);
    TGeneralObjectDictionary(const TGeneralObjectDictionary&) = delete;
    TGeneralObjectDictionary& operator=(const TGeneralObjectDictionary&) = delete;

    const char* ClassName() const override { return "TGeneralObjectDictionary"; }
    int Count() const override { return FKeys->Count(); }
    const std::string& GetKeyByIndex(int index) const override;
    TObject* GetItemByIndex(int index) const override;
    int LocateItem(std::string_view key, TObject*& value) const override;

    // Returns the index of the entry that holds key afterwards (for Ignore: the old one).
    // Owning dictionaries take unique_ptr, non-owning ones plain pointers.
    int Add(std::string_view key, std::unique_ptr<TObject> value);
    int Add(std::string_view key, TObject* value);
    // Removes the first entry with key (destroying an owned value); a missing key raises.
    void Delete(std::string_view key);
    void DeleteIndex(int index);
    // Owning dictionaries: removes the entry and hands its value to the caller.
    std::unique_ptr<TObject> ReleaseItem(std::string_view key);
    void Clear() override;

    bool KeysCaseSensitive() const { return FCaseSensitive; }
    TDictionaryDuplicatesAction DuplicatesAction() const { return FDuplicates; }
    const TAnsiStringArray& Keys() const { return *FKeys; }
    const TObjectArray& Values() const { return *FValues; }
    // Current number of hash buckets.
    size_t HashTableSize() const { return FBuckets.size(); }

private:
    // Checks for a duplicate; returns the existing index to keep (Ignore) or -1 to add.
    int PrepareAdd(std::string_view key) const;
    int FinishAdd(std::string_view key);
    void RebuildHash(size_t bucketCount);
    uint32_t KeyHash(std::string_view key) const;
    bool SameKey(std::string_view a, std::string_view b) const;

    std::unique_ptr<TAnsiStringArray> FKeys;
    std::unique_ptr<TObjectArray> FValues;
    TDictionaryDuplicatesAction FDuplicates;
    bool FCaseSensitive;
    std::vector<std::vector<int>> FBuckets;
};

class TObjectDictionary : public TGeneralObjectDictionary {
public:
    explicit TObjectDictionary(
        bool valuesOwner = true, bool keysCaseSensitive = true,
        TDictionaryDuplicatesAction duplicatesAction = TDictionaryDuplicatesAction::Error)
        : TGeneralObjectDictionary(nullptr, nullptr, duplicatesAction, keysCaseSensitive,
                                   valuesOwner) {}
    const char* ClassName() const override { return "TObjectDictionary"; }
};

// The dictionary's key hash: CRC-32 (reflected polynomial EDB88320, start FFFFFFFF, no final
// inversion), A-Z folded to lower case unless caseSensitive. Keys longer than 48 bytes are
// hashed over 48 bytes: the first 16, the last 16, then 16 from offset 16 at a stride of
// ((length - 48) >> 4) + 1.
uint32_t DictionaryKeyHash(std::string_view key, bool caseSensitive);
// Bucket count for n entries (see TGeneralObjectDictionary).
size_t DictionaryHashTableSize(size_t entries);

// Intrusive doubly linked list. The list owns its items; an item is in at most one list.
class TDoublyLinkedItem : public TObject {
public:
    TDoublyLinkedItem* Prev() const { return FPrev; }
    TDoublyLinkedItem* Next() const { return FNext; }

private:
    friend class TDoublyLinkedList;
    TDoublyLinkedItem* FPrev = nullptr;
    TDoublyLinkedItem* FNext = nullptr;
    const void* FList = nullptr; // the list holding the item, to refuse foreign items
};

class TDoublyLinkedString : public TDoublyLinkedItem {
public:
    explicit TDoublyLinkedString(std::string value = {}) : Value(std::move(value)) {}
    std::string Value;
};

class TDoublyLinkedList : public TObject {
public:
    TDoublyLinkedList() = default;
    ~TDoublyLinkedList() override { Clear(); }
    TDoublyLinkedList(const TDoublyLinkedList&) = delete;
    TDoublyLinkedList& operator=(const TDoublyLinkedList&) = delete;

    bool IsEmpty() const { return FCount == 0; }
    int Count() const { return FCount; }
    TDoublyLinkedItem* First() const { return FFirst; }
    TDoublyLinkedItem* Last() const { return FLast; }

    // Adding an item that is already in a list raises EDoublyLinkedList.
    TDoublyLinkedItem* Append(std::unique_ptr<TDoublyLinkedItem> item);
    TDoublyLinkedItem* InsertFront(std::unique_ptr<TDoublyLinkedItem> item);
    // Inserts before pos (an item of this list; null appends).
    TDoublyLinkedItem* InsertBefore(TDoublyLinkedItem* pos,
                                    std::unique_ptr<TDoublyLinkedItem> item);
    TDoublyLinkedString* AppendString(std::string value);

    // Unlinks item (which must be in this list, else EDoublyLinkedList) and hands it over.
    std::unique_ptr<TDoublyLinkedItem> Remove(TDoublyLinkedItem* item);
    // Null when the list is empty.
    std::unique_ptr<TDoublyLinkedItem> RemoveFirst();
    std::unique_ptr<TDoublyLinkedItem> RemoveLast();
    void Delete(TDoublyLinkedItem* item) { Remove(item); }
    void Clear();

private:
    void CheckFree(const TDoublyLinkedItem* item) const;
    void CheckMine(const TDoublyLinkedItem* item) const;

    TDoublyLinkedItem* FFirst = nullptr;
    TDoublyLinkedItem* FLast = nullptr;
    int FCount = 0;
};

} // namespace corvan
