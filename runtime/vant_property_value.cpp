#include "runtime/vant_property_value.h"

#include "runtime/vant_report.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr const char* kIllFormedPrefix = "VANTEnumStruct::FromString: Ill-formed enum string "
                                         "[expected:nbVal|selected|val0|val1|val2...] [received:";
constexpr const char* kIncompatibleSelection =
    "VANTEnumStruct::FromString: Selected value incompatible with enum values for property. "
    "Selected property is set to 0.";
constexpr const char* kSizeMismatch = "VANTEnumStruct::FromString: Declared size of enum struct "
                                      "does not match the number of given elements.";
constexpr const char* kConstructorIncompatible =
    "Selected value incompatible with enum values for property. Selected property is set to 0";

// Number of '|'-separated fields of text (an empty text has one empty field).
int32_t CountFields(const char* text) noexcept {
  int32_t count = 1;
  for (const char* p = text; *p != 0; ++p) {
    if (*p == '|') {
      ++count;
    }
  }
  return count;
}

} // namespace

// ---- VANTEnumStruct ----------------------------------------------------------------------------

VANTEnumStruct::VANTEnumStruct() : m_selected(-1) {}

VANTEnumStruct::VANTEnumStruct(const char* valuesText, int32_t selected) : m_selected(-1) {
  if (valuesText == nullptr || valuesText[0] == 0) {
    return;
  }
  SetValuesFromText(valuesText, 0);
  if (selected < 0 || selected >= Count()) {
    VANT::ExternalError(kConstructorIncompatible);
    selected = 0;
  }
  m_selected = selected;
}

VANTEnumStruct::VANTEnumStruct(const VANTEnumStruct& other) : m_selected(other.m_selected) {
  m_values.SetSize(other.Count());
  for (int32_t i = 0; i < other.Count(); ++i) {
    m_values[i] = other.m_values[i];
  }
}

VANTEnumStruct& VANTEnumStruct::operator=(const VANTEnumStruct& other) {
  if (this != &other) {
    m_values.SetSize(other.Count());
    for (int32_t i = 0; i < other.Count(); ++i) {
      m_values[i] = other.m_values[i];
    }
    m_selected = other.m_selected;
  }
  return *this;
}

VANTEnumStruct::~VANTEnumStruct() = default;

void VANTEnumStruct::SetValuesFromText(const char* text, int32_t skip) {
  const int32_t fields = CountFields(text);
  m_values.SetSize(fields > skip ? fields - skip : 0);
  int32_t field = 0;
  const char* start = text;
  for (const char* p = text;; ++p) {
    if (*p == '|' || *p == 0) {
      if (field >= skip) {
        m_values[field - skip] = VANTStackedString<40>(start, static_cast<int32_t>(p - start));
      }
      ++field;
      if (*p == 0) {
        break;
      }
      start = p + 1;
    }
  }
}

bool VANTEnumStruct::FromString(const char* text, bool selectedOnly) {
  int nbVal = 0;
  int selected = 0;
  if (text == nullptr || std::sscanf(text, "%d|%d", &nbVal, &selected) != 2) {
    VANTStreamedString message(kIllFormedPrefix);
    message << text << "]";
    VANT::ExternalError(message.Text());
    return false;
  }
  // A selection is accepted in -1 (none) .. count-1; anything else selects the first value.
  auto select = [this](int32_t wanted) {
    if (wanted >= -1 && wanted < Count()) {
      m_selected = wanted;
      return true;
    }
    m_selected = 0;
    VANT::ExternalError(kIncompatibleSelection);
    return false;
  };
  if (selectedOnly) {
    return select(selected);
  }
  m_values.SetSize(0);
  if (nbVal <= 0) {
    m_selected = -1;
    return true;
  }
  if (CountFields(text) - 2 != nbVal) {
    m_selected = -1;
    VANT::ExternalError(kSizeMismatch);
    return false;
  }
  SetValuesFromText(text, 2);
  return select(selected);
}

VANTStackedString<40> VANTEnumStruct::ValuesText() const {
  VANTStackedString<40> text;
  for (int32_t i = 0; i < Count(); ++i) {
    if (i > 0) {
      text.Append('|');
    }
    text.Append(m_values[i]);
  }
  return text;
}

VANTStackedString<40> VANTEnumStruct::ToString() const {
  VANTStreamedString text;
  text << Count() << '|' << m_selected;
  for (int32_t i = 0; i < Count(); ++i) {
    text << '|' << m_values[i];
  }
  return text;
}

const char* VANTEnumStruct::SelectedText() const noexcept {
  if (m_selected < 0 || m_selected >= Count()) {
    return "";
  }
  return m_values[m_selected].Text();
}

int32_t VANTEnumStruct::Find(const char* text) const noexcept {
  for (int32_t i = 0; i < Count(); ++i) {
    if (m_values[i] == text) {
      return i;
    }
  }
  return -1;
}

// ---- VANTPropertyValue -------------------------------------------------------------------------

VANTPropertyValue::VANTPropertyValue() noexcept : m_kind(VANTPropertyBoolean) {
  m_payload.integer = 0;
}

VANTPropertyValue::VANTPropertyValue(bool value) noexcept : VANTPropertyValue() {
  m_payload.boolean = value;
}

VANTPropertyValue::VANTPropertyValue(int32_t value) noexcept : m_kind(VANTPropertyInteger) {
  m_payload.integer = value;
}

VANTPropertyValue::VANTPropertyValue(int64_t value) noexcept : m_kind(VANTPropertyInteger) {
  m_payload.integer = value;
}

VANTPropertyValue::VANTPropertyValue(double value) noexcept : m_kind(VANTPropertyFloat) {
  m_payload.floating = value;
}

VANTPropertyValue::VANTPropertyValue(const char* valuesText, int32_t selected)
    : m_kind(VANTPropertyEnum) {
  m_payload.enumeration = new VANTEnumStruct(valuesText, selected);
}

VANTPropertyValue::VANTPropertyValue(const VANTEnumStruct& value) : m_kind(VANTPropertyEnum) {
  m_payload.enumeration = new VANTEnumStruct(value);
}

VANTPropertyValue::VANTPropertyValue(const char* text) {
  if (LooksLikeEnum(text)) {
    m_kind = VANTPropertyEnum;
    m_payload.enumeration = new VANTEnumStruct();
    m_payload.enumeration->FromString(text, false);
  } else {
    m_kind = VANTPropertyString;
    m_payload.string = new VANTStackedString<40>(text);
  }
}

VANTPropertyValue::VANTPropertyValue(const VANTPropertyValue& other) : m_kind(VANTPropertyBoolean) {
  m_payload.integer = 0;
  CopyFrom(other);
}

VANTPropertyValue& VANTPropertyValue::operator=(const VANTPropertyValue& other) {
  if (this != &other) {
    CopyFrom(other);
  }
  return *this;
}

VANTPropertyValue::~VANTPropertyValue() {
  Release();
}

void VANTPropertyValue::Release() noexcept {
  if (m_kind == VANTPropertyString) {
    delete m_payload.string;
  } else if (m_kind == VANTPropertyEnum) {
    delete m_payload.enumeration;
  }
  m_kind = VANTPropertyBoolean;
  m_payload.integer = 0;
}

void VANTPropertyValue::CopyFrom(const VANTPropertyValue& other) {
  // Build the new payload first, so that a failed allocation leaves this value unchanged.
  Payload payload = other.m_payload;
  if (other.m_kind == VANTPropertyString) {
    payload.string = new VANTStackedString<40>(*other.m_payload.string);
  } else if (other.m_kind == VANTPropertyEnum) {
    payload.enumeration = new VANTEnumStruct(*other.m_payload.enumeration);
  }
  Release();
  m_kind = other.m_kind;
  m_payload = payload;
}

void* VANTPropertyValue::PayloadObject() noexcept {
  if (m_kind == VANTPropertyString) {
    return m_payload.string;
  }
  if (m_kind == VANTPropertyEnum) {
    return m_payload.enumeration;
  }
  return nullptr;
}

bool VANTPropertyValue::LooksLikeEnum(const char* text) noexcept {
  int first = 0;
  int second = 0;
  return text != nullptr && std::sscanf(text, "%d|%d", &first, &second) == 2;
}
