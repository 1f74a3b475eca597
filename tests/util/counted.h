#pragma once
// A test element that counts its constructions, copies, moves and destructions, and notices use
// after destruction, so that container tests can assert no leak and no double destruction.

#include <gtest/gtest.h>

#include <cstdint>

struct Counted {
  static constexpr uint32_t kAlive = 0xA11CE;
  static constexpr uint32_t kDead = 0xDEADu;
  static inline int s_live = 0;
  static inline int s_constructed = 0;
  static inline int s_destroyed = 0;
  static inline int s_copies = 0;
  static inline int s_moves = 0;
  static void Reset() { s_live = s_constructed = s_destroyed = s_copies = s_moves = 0; }

  Counted() : Counted(0) {}
  Counted(int v) : value(v) { Born(); } // NOLINT(google-explicit-constructor)
  Counted(const Counted& other) : value(other.Checked()) {
    ++s_copies;
    Born();
  }
  Counted(Counted&& other) noexcept : value(other.Checked()) {
    ++s_moves;
    other.value = -1;
    Born();
  }
  Counted& operator=(const Counted& other) {
    Checked();
    value = other.Checked();
    ++s_copies;
    return *this;
  }
  Counted& operator=(Counted&& other) noexcept {
    Checked();
    value = other.Checked();
    other.value = -1;
    ++s_moves;
    return *this;
  }
  ~Counted() {
    EXPECT_EQ(state, kAlive) << "destroyed twice or never constructed";
    state = kDead;
    --s_live;
    ++s_destroyed;
  }
  bool operator==(const Counted& other) const { return value == other.value; }

  int Checked() const {
    EXPECT_EQ(state, kAlive) << "used after destruction";
    return value;
  }

  int value;
  uint32_t state = 0;

private:
  void Born() {
    state = kAlive;
    ++s_live;
    ++s_constructed;
  }
};
