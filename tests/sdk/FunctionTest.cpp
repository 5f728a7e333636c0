// kiv::Function, the SDK's own std::function: every callable it made is
// destroyed once, copies are independent, and an empty one is empty.
#include "Function.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using kiv::Function;

// Counts the callables alive; Size pads it to be kept inside the holder or
// on the heap.
template <size_t Size>
struct Counted {
  static int alive;
  int total;
  char padding[Size] = {};
  explicit Counted(int start) : total(start) { ++alive; }
  Counted(const Counted& other) : total(other.total) { ++alive; }
  Counted(Counted&& other) noexcept : total(other.total) { ++alive; }
  ~Counted() { --alive; }
  int operator()(int add) { return total += add; }
};
template <size_t Size>
int Counted<Size>::alive = 0;

// Each kind of callable: one the holder copies as bytes, one it keeps
// inside and one on the heap.
template <typename Make>
void CopiesMovesAndDestroys(Make make) {
  using F = Function<int(int)>;
  F original = make();
  F copy = original;
  EXPECT_EQ(original(1), 1);
  EXPECT_EQ(copy(2), 2) << "a copy keeps its own state";
  F moved = std::move(original);
  EXPECT_FALSE(original);
  EXPECT_EQ(moved(3), 4);
  copy = moved;
  EXPECT_EQ(copy(4), 8);
  moved = nullptr;
  EXPECT_FALSE(moved);
  copy = [](int n) { return -n; };
  EXPECT_EQ(copy(5), -5);
  const F constant = make();
  constant(6);
  EXPECT_EQ(constant(7), 13) << "called as a non-const object, as std::function does";
}

TEST(FunctionTest, CallablesAreCopiedMovedAndDestroyedOnce) {
  CopiesMovesAndDestroys([] { return [total = 0](int add) mutable { return total += add; }; });
  CopiesMovesAndDestroys([] { return Counted<1>(0); });
  CopiesMovesAndDestroys([] { return Counted<64>(0); });
  EXPECT_EQ(Counted<1>::alive, 0);
  EXPECT_EQ(Counted<64>::alive, 0);
}

int Seven() { return 7; }

TEST(FunctionTest, EmptyAsStdFunctionIs) {
  int (*none)() = nullptr;
  struct Case {
    const char* what;
    Function<int()> f;
    bool empty;
  } cases[] = {
      {"default", Function<int()>(), true},
      {"nullptr", nullptr, true},
      {"null function pointer", none, true},
      {"empty std::function", std::function<int()>(), true},
      {"function", Seven, false},
      {"std::function", std::function<int()>(Seven), false},
  };
  for (Case& c : cases) {
    EXPECT_EQ(c.f == nullptr, c.empty) << c.what;
    if (c.empty) {
      EXPECT_THROW(c.f(), std::bad_function_call) << c.what;
    } else {
      EXPECT_EQ(c.f(), 7) << c.what;
    }
  }
}

}  // namespace
