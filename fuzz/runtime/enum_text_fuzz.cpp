// The text form of an enumeration ("nbVal|selected|val0|val1|..."), read by FromString and by the
// property value constructor.
//
// Input: one flag byte (bit 0: selectedOnly; bit 1: start from values a, b, c instead of none),
// then the text. The structure must stay consistent whatever the text, and a structure that took
// its values from the text must read its own text form back to the same values and selection.

#include "fuzz_support.h"
#include "runtime/vant_property_value.h"

#include <cstring>
#include <string>

namespace {

void CheckConsistent(const VANTEnumStruct& value) {
  FUZZ_CHECK(value.Count() >= 0);
  FUZZ_CHECK(value.Selected() >= -1);
  FUZZ_CHECK(value.Selected() < value.Count() || value.Selected() <= 0);
  const char* selected = value.SelectedText();
  FUZZ_CHECK(selected != nullptr);
  if (value.Selected() >= 0 && value.Selected() < value.Count()) {
    FUZZ_CHECK(std::strcmp(selected, value.Value(value.Selected()).Text()) == 0);
  } else {
    FUZZ_CHECK(*selected == '\0');
  }
  for (int32_t i = 0; i < value.Count(); ++i) {
    FUZZ_CHECK(std::strchr(value.Value(i).Text(), '|') == nullptr);
    FUZZ_CHECK(value.Find(value.Value(i).Text()) <= i);
  }
}

bool SameValues(const VANTEnumStruct& a, const VANTEnumStruct& b) {
  if (a.Count() != b.Count()) {
    return false;
  }
  for (int32_t i = 0; i < a.Count(); ++i) {
    if (!(a.Value(i) == b.Value(i).Text())) {
      return false;
    }
  }
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (size < 1) {
    return 0;
  }
  const bool selectedOnly = (bytes[0] & 1) != 0;
  const bool withValues = (bytes[0] & 2) != 0;
  // The text up to its first NUL, in a block of exactly its size.
  const std::string text(reinterpret_cast<const char*>(bytes + 1),
                         strnlen(reinterpret_cast<const char*>(bytes + 1), size - 1));

  VANTEnumStruct value = withValues ? VANTEnumStruct("a|b|c", 1) : VANTEnumStruct();
  const VANTEnumStruct before = value;
  const bool accepted = value.FromString(text.c_str(), selectedOnly);
  CheckConsistent(value);
  if (selectedOnly) {
    FUZZ_CHECK(SameValues(value, before)); // only the selection may change
  }
  if (accepted && !selectedOnly && value.Count() > 0) {
    VANTEnumStruct again;
    FUZZ_CHECK(again.FromString(value.ToString().Text(), false));
    FUZZ_CHECK(SameValues(again, value) && again.Selected() == value.Selected());
    FUZZ_CHECK(again.ToString() == value.ToString().Text());
  }

  // The property value constructor decides between enumeration and string on the same text.
  VANTPropertyValue property(text.c_str());
  FUZZ_CHECK(
      property.Kind() ==
      (VANTPropertyValue::LooksLikeEnum(text.c_str()) ? VANTPropertyEnum : VANTPropertyString));
  if (property.Kind() == VANTPropertyEnum) {
    CheckConsistent(property.Enum());
  } else {
    FUZZ_CHECK(property.String() == text.c_str());
  }
  VANTPropertyValue copy(property);
  copy = property;
  FUZZ_CHECK(copy.Kind() == property.Kind());

  // The values-text constructor splits the same text at every '|'.
  VANTEnumStruct split(text.c_str(), static_cast<int32_t>(size % 7) - 1);
  CheckConsistent(split);
  FUZZ_CHECK(split.Count() == 0 || split.ValuesText() == text.c_str());
  return 0;
}
