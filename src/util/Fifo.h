#pragma once
// A first-in first-out queue that holds no memory until its first item and little while it
// stays short: a message loop per connection thread keeps one, almost always with a handful
// of items or none (a std::deque takes a 512-byte block and its map as soon as it is made).
//
// Items live in one vector from a read position on; the consumed front is dropped when the
// queue empties, or once it is at least half the vector, so memory stays proportional to what
// is queued. After a burst, emptying gives back a vector grown past kFifoKeptCapacity.
// Iterators (begin to end: the queued items, oldest first) are those of the vector and are
// invalidated by every change, as are references from front.

#include <cstddef>
#include <vector>

namespace corvan {

// Items whose room an emptied queue keeps; beyond it the storage goes.
constexpr size_t kFifoKeptCapacity = 64;
// Room taken at the first item, so that a short queue does not regrow item by item.
constexpr size_t kFifoFirstCapacity = 4;

template <class T> class TFifo {
public:
    using iterator = typename std::vector<T>::iterator;

    bool empty() const { return FHead == FItems.size(); }
    size_t size() const { return FItems.size() - FHead; }
    // Items the storage has room for (0 before the first item and after a large one goes).
    size_t capacity() const { return FItems.capacity(); }

    void push_back(const T& item) {
        if (FItems.capacity() == 0)
            FItems.reserve(kFifoFirstCapacity);
        FItems.push_back(item);
    }
    T& front() { return FItems[FHead]; }
    const T& front() const { return FItems[FHead]; }
    void pop_front() {
        ++FHead;
        if (FHead == FItems.size())
            Reset();
        else if (FHead >= kFifoFirstCapacity && FHead * 2 >= FItems.size()) {
            FItems.erase(FItems.begin(), FItems.begin() + static_cast<std::ptrdiff_t>(FHead));
            FHead = 0;
        }
    }

    iterator begin() { return FItems.begin() + static_cast<std::ptrdiff_t>(FHead); }
    iterator end() { return FItems.end(); }
    // Removes [first, last), a range of this queue's items.
    void erase(iterator first, iterator last) {
        FItems.erase(first, last);
        if (empty())
            Reset();
    }
    void clear() { Reset(); }

private:
    void Reset() {
        FHead = 0;
        if (FItems.capacity() > kFifoKeptCapacity)
            std::vector<T>().swap(FItems);
        else
            FItems.clear();
    }

    std::vector<T> FItems;
    size_t FHead = 0; // the oldest item still queued
};

} // namespace corvan
