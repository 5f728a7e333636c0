// kiv::Function<R(Args...)>: what std::function promises (a copyable
// holder of any callable of that signature, or of none) for less code.
//
// For each kind of callable it holds, libc++'s std::function makes nine
// functions, a table of them and two type names; on the router the SDK's
// thirty-odd callables cost about a tenth of the library that way. This
// holder makes one function that calls the callable, and one that copies
// and destroys it only when it is more than a few bytes to copy (a lambda
// that keeps `this` and a pointer or two needs none).
//
// As std::function: empty when made from nothing, from nullptr or from a
// null pointer; calling an empty one throws std::bad_function_call; the
// callable is called as a non-const object even through a const holder.
// Not offered: target() and target_type(). The public headers keep
// std::function: this is for the SDK's own insides.
#ifndef KIV_SDK_FUNCTION_H
#define KIV_SDK_FUNCTION_H

#include <cstddef>
#include <cstdlib>
#include <functional>
#include <new>
#include <type_traits>
#include <utility>

namespace kiv {

// Calling an empty Function is a programming error: std::function's
// exception where exceptions are on, an abort in the SDK (built without).
[[noreturn]] inline void ThrowBadFunctionCall() {
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
  throw std::bad_function_call();
#else
  std::abort();
#endif
}

template <typename Signature>
class Function;

template <typename R, typename... Args>
class Function<R(Args...)> {
  // Room for a callable kept inside the holder: three pointers' worth.
  union Storage {
    void* heap;
    alignas(void*) unsigned char bytes[3 * sizeof(void*)];
  };
  enum class Op { kCopy, kMove, kDestroy };
  using Invoker = R (*)(Storage&, Args&&...);
  using Manager = void (*)(Op, Storage& to, Storage& from);

  template <typename F>
  static constexpr bool kInside = sizeof(F) <= sizeof(Storage) && alignof(F) <= alignof(Storage) &&
                                  std::is_nothrow_move_constructible_v<F>;
  // Copied as bytes, nothing to destroy: no manager at all.
  template <typename F>
  static constexpr bool kPlain = kInside<F> && std::is_trivially_copyable_v<F> &&
                                 std::is_trivially_destructible_v<F>;

  template <typename F>
  struct IsStdFunction : std::false_type {};
  template <typename S>
  struct IsStdFunction<std::function<S>> : std::true_type {};
  // Callables that may be null, and make an empty holder then.
  template <typename F>
  static constexpr bool kNullable =
      std::is_pointer_v<F> || std::is_member_pointer_v<F> || IsStdFunction<F>::value;

public:
  Function() noexcept = default;
  Function(std::nullptr_t) noexcept {}  // NOLINT: as std::function, implicitly

  template <typename F, typename D = std::decay_t<F>,
            typename = std::enable_if_t<!std::is_same_v<D, Function> &&
                                        std::is_invocable_r_v<R, D&, Args...>>>
  Function(F&& callable) {  // NOLINT: as std::function, implicitly
    if constexpr (kNullable<D> && !std::is_function_v<std::remove_reference_t<F>>) {
      if (!callable) return;
    }
    if constexpr (kInside<D>) {
      ::new (static_cast<void*>(storage_.bytes)) D(std::forward<F>(callable));
    } else {
      storage_.heap = new D(std::forward<F>(callable));
    }
    invoke_ = &Invoke<D>;
    if constexpr (!kPlain<D>) manage_ = &Manage<D>;
  }

  Function(const Function& other) : invoke_(other.invoke_), manage_(other.manage_) {
    if (manage_ != nullptr) {
      manage_(Op::kCopy, storage_, other.storage_);
    } else {
      storage_ = other.storage_;
    }
  }
  Function(Function&& other) noexcept { Take(other); }
  ~Function() { Reset(); }

  Function& operator=(const Function& other) {
    if (this != &other) *this = Function(other);
    return *this;
  }
  Function& operator=(Function&& other) noexcept {
    if (this != &other) {
      Reset();
      Take(other);
    }
    return *this;
  }
  Function& operator=(std::nullptr_t) noexcept {
    Reset();
    return *this;
  }
  template <typename F, typename D = std::decay_t<F>,
            typename = std::enable_if_t<!std::is_same_v<D, Function> &&
                                        std::is_invocable_r_v<R, D&, Args...>>>
  Function& operator=(F&& callable) {
    return *this = Function(std::forward<F>(callable));
  }

  explicit operator bool() const noexcept { return invoke_ != nullptr; }
  friend bool operator==(const Function& f, std::nullptr_t) noexcept { return !f; }
  friend bool operator!=(const Function& f, std::nullptr_t) noexcept { return static_cast<bool>(f); }

  R operator()(Args... args) const {
    if (invoke_ == nullptr) ThrowBadFunctionCall();
    return invoke_(storage_, std::forward<Args>(args)...);
  }

private:
  template <typename F>
  static F& Target(Storage& storage) {
    if constexpr (kInside<F>) {
      return *std::launder(reinterpret_cast<F*>(storage.bytes));
    } else {
      return *static_cast<F*>(storage.heap);
    }
  }

  template <typename F>
  static R Invoke(Storage& storage, Args&&... args) {
    if constexpr (std::is_void_v<R>) {
      std::invoke(Target<F>(storage), std::forward<Args>(args)...);
    } else {
      return std::invoke(Target<F>(storage), std::forward<Args>(args)...);
    }
  }

  template <typename F>
  static void Manage(Op op, Storage& to, Storage& from) {
    if constexpr (kInside<F>) {
      F& source = Target<F>(from);
      if (op == Op::kCopy) {
        ::new (static_cast<void*>(to.bytes)) F(source);
      } else if (op == Op::kMove) {
        ::new (static_cast<void*>(to.bytes)) F(std::move(source));
        source.~F();
      } else {
        source.~F();
      }
    } else if (op == Op::kCopy) {
      to.heap = new F(Target<F>(from));
    } else if (op == Op::kMove) {
      to.heap = from.heap;
    } else {
      delete static_cast<F*>(from.heap);
    }
  }

  // Moves other's callable here (this holds none); other is left empty.
  void Take(Function& other) noexcept {
    invoke_ = other.invoke_;
    manage_ = other.manage_;
    if (manage_ != nullptr) {
      manage_(Op::kMove, storage_, other.storage_);
    } else {
      storage_ = other.storage_;
    }
    other.invoke_ = nullptr;
    other.manage_ = nullptr;
  }

  void Reset() noexcept {
    if (manage_ != nullptr) manage_(Op::kDestroy, storage_, storage_);
    invoke_ = nullptr;
    manage_ = nullptr;
  }

  mutable Storage storage_{};
  Invoker invoke_ = nullptr;
  Manager manage_ = nullptr;
};

}  // namespace kiv

#endif
