#pragma once
// An event member that holds no storage until a handler is set: one pointer in the object in
// place of a std::function's 32 bytes. Objects made for every connection (sockets, streams,
// clients) carry many events of which a connection sets few; a thousand idle connections
// would otherwise each carry those empty functions.
//
// Used as a std::function: assigned a callable or nullptr, tested with if (slot), called
// with slot(args) (std::bad_function_call when empty), copied deeply, and passed wherever a
// const std::function& is taken (an empty one while unset). Clearing a set slot keeps its
// storage, so a handler may clear its own slot while it runs, as with a std::function.

#include <cstddef>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

namespace corvan {

template <class Signature> class TEventSlot;

template <class R, class... Args> class TEventSlot<R(Args...)> {
public:
    using TFunction = std::function<R(Args...)>;

    TEventSlot() noexcept = default;
    TEventSlot(std::nullptr_t) noexcept {}
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TEventSlot> &&
                                                std::is_constructible_v<TFunction, F&&>>>
    TEventSlot(F&& f) {
        Set(TFunction(std::forward<F>(f)));
    }
    TEventSlot(const TEventSlot& other)
        : FFunction(other.FFunction ? std::make_unique<TFunction>(*other.FFunction) : nullptr) {}
    TEventSlot(TEventSlot&&) noexcept = default;
    ~TEventSlot() = default;

    TEventSlot& operator=(const TEventSlot& other) {
        if (this != &other)
            Set(other.FFunction ? *other.FFunction : TFunction());
        return *this;
    }
    TEventSlot& operator=(TEventSlot&&) noexcept = default;
    TEventSlot& operator=(std::nullptr_t) noexcept {
        if (FFunction)
            *FFunction = nullptr;
        return *this;
    }
    template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, TEventSlot> &&
                                                std::is_constructible_v<TFunction, F&&>>>
    TEventSlot& operator=(F&& f) {
        Set(TFunction(std::forward<F>(f)));
        return *this;
    }

    explicit operator bool() const noexcept { return FFunction && *FFunction; }
    friend bool operator==(const TEventSlot& slot, std::nullptr_t) noexcept { return !slot; }

    R operator()(Args... args) const {
        if (!FFunction)
            throw std::bad_function_call();
        return (*FFunction)(std::forward<Args>(args)...);
    }

    // The handler as a std::function; an empty one while none is set.
    operator const TFunction&() const noexcept { return FFunction ? *FFunction : Empty(); }

private:
    static const TFunction& Empty() noexcept {
        static const TFunction empty;
        return empty;
    }
    void Set(TFunction f) {
        if (FFunction)
            *FFunction = std::move(f);
        else if (f)
            FFunction = std::make_unique<TFunction>(std::move(f));
    }

    std::unique_ptr<TFunction> FFunction;
};

} // namespace corvan
