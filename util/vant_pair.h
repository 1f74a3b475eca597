#pragma once
// Two plain tuples of the runtime: VANTPair (the entries of hash tables and environment lists) and
// VANTCouple (a flag with a number, built from references to both).

#include <utility>

/// VANTPair<A, B>: two values, first and second. The runtime's instance pairs two stacked strings
/// (name and value).
/// Ownership: holds both values. Thread: none of its own.
template <class A, class B>
class VANTPair {
public:
  VANTPair() = default;
  VANTPair(const A& first, const B& second) : m_first(first), m_second(second) {}
  VANTPair(A&& first, B&& second) : m_first(std::move(first)), m_second(std::move(second)) {}
  VANTPair(const VANTPair&) = default;
  VANTPair(VANTPair&&) = default;
  VANTPair& operator=(const VANTPair&) = default;
  VANTPair& operator=(VANTPair&&) = default;
  virtual ~VANTPair() = default;

  bool operator==(const VANTPair& other) const {
    return m_first == other.m_first && m_second == other.m_second;
  }

  A m_first{};
  B m_second{};
};

/// VANTCouple<A, B>: two values built from references to both; the runtime's instance is a flag
/// with an unsigned 32-bit number.
/// Ownership: holds copies of both values. Thread: none of its own.
template <class A, class B>
class VANTCouple {
public:
  VANTCouple() = default;
  VANTCouple(const A& first, const B& second) : m_first(first), m_second(second) {}
  VANTCouple(const VANTCouple&) = default;
  VANTCouple(VANTCouple&&) = default;
  VANTCouple& operator=(const VANTCouple&) = default;
  VANTCouple& operator=(VANTCouple&&) = default;
  virtual ~VANTCouple() = default;

  bool operator==(const VANTCouple& other) const {
    return m_first == other.m_first && m_second == other.m_second;
  }

  A m_first{};
  B m_second{};
};
