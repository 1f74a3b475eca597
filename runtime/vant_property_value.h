#pragma once
// Property values: the five kinds a property can hold, the enumeration structure and its text form
// "nbVal|selected|val0|val1|...", which is how an enumeration is saved and exchanged.
//
// Thread: none of their own; a property's value is guarded by its module's property lock.
// Reports: malformed enumeration texts and out-of-range selections are sent as external error
// reports (option 0); nothing here throws except std::bad_alloc.

#include "util/vant_array.h"
#include "util/vant_string.h"

#include <cstdint>

/// Kind codes of a property value.
enum VANTPropertyKind : int32_t {
  VANTPropertyBoolean = 0,
  VANTPropertyInteger = 1, // 64-bit signed
  VANTPropertyFloat = 2,   // 64-bit floating point
  VANTPropertyString = 3,
  VANTPropertyEnum = 4,
};

/// An enumeration: a list of value texts and the index of the selected one (-1: none).
class VANTEnumStruct {
public:
  /// No values, nothing selected.
  VANTEnumStruct();
  /// Values split at every '|' of valuesText ("a|b|c"); null or empty gives no values and
  /// selected -1. An index outside 0..count-1 is replaced by 0 and reported.
  VANTEnumStruct(const char* valuesText, int32_t selected);
  VANTEnumStruct(const VANTEnumStruct& other);
  VANTEnumStruct& operator=(const VANTEnumStruct& other);
  virtual ~VANTEnumStruct();

  /// Parses the text form "nbVal|selected|val0|val1|...". With selectedOnly only the selection
  /// changes (the values stay). Malformed texts are reported and leave the structure unchanged;
  /// a declared count that does not match the values leaves no values and selected -1.
  /// Returns false when the text was refused in whole or in part.
  bool FromString(const char* text, bool selectedOnly);
  /// The text form "nbVal|selected|val0|val1|...".
  VANTStackedString<40> ToString() const;
  /// The values joined with '|' ("a|b|c").
  VANTStackedString<40> ValuesText() const;

  int32_t Count() const noexcept { return m_values.Size(); }
  int32_t Selected() const noexcept { return m_selected; }
  void SetSelected(int32_t selected) noexcept { m_selected = selected; }
  int32_t* SelectedAddress() noexcept { return &m_selected; }
  /// Value i; i must be in 0..Count()-1.
  const VANTStackedString<40>& Value(int32_t i) const { return m_values[i]; }
  /// The selected value's text, or the empty text when the selection is out of range.
  const char* SelectedText() const noexcept;
  /// Index of the first value equal to text, or -1.
  int32_t Find(const char* text) const noexcept;
  /// Replaces the values by the '|'-separated fields of text, starting at field `skip`.
  void SetValuesFromText(const char* text, int32_t skip);

private:
  int32_t m_selected;
  VANTArray<VANTStackedString<40>> m_values;
};

/// A typed value: boolean, 64-bit integer, double, owned string or owned enumeration.
class VANTPropertyValue {
public:
  /// Boolean false.
  VANTPropertyValue() noexcept;
  explicit VANTPropertyValue(bool value) noexcept;
  explicit VANTPropertyValue(int32_t value) noexcept;
  explicit VANTPropertyValue(int64_t value) noexcept;
  explicit VANTPropertyValue(double value) noexcept;
  /// An enumeration from its values text ("a|b|c") and selected index.
  VANTPropertyValue(const char* valuesText, int32_t selected);
  explicit VANTPropertyValue(const VANTEnumStruct& value);
  /// A text that reads as two integers separated by '|' ("%d|%d") becomes an enumeration parsed
  /// from its text form; any other text a string (null: empty string).
  explicit VANTPropertyValue(const char* text);
  VANTPropertyValue(const VANTPropertyValue& other);
  VANTPropertyValue& operator=(const VANTPropertyValue& other);
  virtual ~VANTPropertyValue();

  int32_t Kind() const noexcept { return m_kind; }

  // Payload accessors; each is valid only for its own kind.
  bool& Boolean() noexcept { return m_payload.boolean; }
  int64_t& Integer() noexcept { return m_payload.integer; }
  double& Float() noexcept { return m_payload.floating; }
  VANTStackedString<40>& String() noexcept { return *m_payload.string; }
  VANTEnumStruct& Enum() noexcept { return *m_payload.enumeration; }
  bool Boolean() const noexcept { return m_payload.boolean; }
  int64_t Integer() const noexcept { return m_payload.integer; }
  double Float() const noexcept { return m_payload.floating; }
  const VANTStackedString<40>& String() const noexcept { return *m_payload.string; }
  const VANTEnumStruct& Enum() const noexcept { return *m_payload.enumeration; }
  /// Address of the payload (the bool, integer or double itself, or the owned object pointer).
  void* PayloadAddress() noexcept { return &m_payload; }
  /// The owned string or enumeration object; null for the scalar kinds.
  void* PayloadObject() noexcept;

  /// True when text reads as "%d|%d" (two integers separated by '|').
  static bool LooksLikeEnum(const char* text) noexcept;

private:
  void Release() noexcept;
  void CopyFrom(const VANTPropertyValue& other);

  int32_t m_kind;
  union Payload {
    bool boolean;
    int64_t integer;
    double floating;
    VANTStackedString<40>* string;
    VANTEnumStruct* enumeration;
  } m_payload;
};
