// The typed getters and setters of a module's properties, with their checks and refusals.

#include "files/vant_file.h"
#include "runtime/vant_module.h"
#include "runtime/vant_report.h"
#include "util/vant_exceptions.h"

namespace {

VANTPropertyImplementation* Implementation(VANTProperty* property) {
  return static_cast<VANTPropertyImplementation*>(property);
}

constexpr const char* kSetEnumText = "Can't set enum values for property ";
constexpr const char* kSetStringText = "Can't set string value for property ";
constexpr const char* kSetFloatText = "Can't set float value for property ";
constexpr const char* kSetIntegerText = "Can't set integer value for property ";
constexpr const char* kSetBooleanText = "Can't set boolean value for property ";

bool IsEnum(VANTPropertyImplementation* p) {
  return p->Value().Kind() == VANTPropertyEnum;
}

} // namespace

// ---- Getters
// ---------------------------------------------------------------------------------------

void VANTModule::GetEnum(VANTProperty* property, VANTEnumStruct& value) {
  VANTPropertyImplementation* p = Implementation(property);
  VANTCountedLocker lock(m_propertyLock);
  if (!IsEnum(p)) {
    VANTStreamedString message;
    message << "Can't get enum values from property " << p->FullName();
    Error(message.Text(), 1);
  }
  value = p->Value().Enum();
  if (VANTPropertyReadCallback callback = p->ReadCallback()) {
    int32_t selected = 0;
    callback(property, &selected);
    value.SetSelected(selected);
  }
}

void VANTModule::GetString(VANTProperty* property, VANTStackedString<40>& value) {
  VANTPropertyImplementation* p = Implementation(property);
  VANTCountedLocker lock(m_propertyLock);
  if (p->Value().Kind() == VANTPropertyString) {
    value = p->Value().String();
    if (VANTPropertyReadCallback callback = p->ReadCallback()) {
      callback(property, &value);
    }
  } else if (IsEnum(p)) {
    value = p->Value().Enum().SelectedText();
  } else {
    VANTStreamedString message;
    message << "Can't get string value from property " << p->FullName();
    Error(message.Text(), 1);
  }
}

void VANTModule::GetFloat(VANTProperty* property, double& value) {
  VANTPropertyImplementation* p = Implementation(property);
  VANTCountedLocker lock(m_propertyLock);
  if (p->Value().Kind() != VANTPropertyFloat) {
    VANTStreamedString message;
    message << "Can't get floating point value from property " << p->FullName();
    Error(message.Text(), 1);
  }
  value = p->Value().Float();
  if (VANTPropertyReadCallback callback = p->ReadCallback()) {
    callback(property, &value);
  }
}

void VANTModule::GetInteger(VANTProperty* property, int64_t& value) {
  VANTPropertyImplementation* p = Implementation(property);
  VANTCountedLocker lock(m_propertyLock);
  if (p->Value().Kind() == VANTPropertyInteger) {
    value = p->Value().Integer();
  } else if (IsEnum(p)) {
    value = p->Value().Enum().Selected();
  } else {
    VANTStreamedString message;
    message << "Can't get integer value from property " << p->FullName();
    Error(message.Text(), 1);
  }
  if (VANTPropertyReadCallback callback = p->ReadCallback()) {
    callback(property, &value);
  }
}

void VANTModule::GetBoolean(VANTProperty* property, bool& value) {
  // Read without the property lock: a boolean is read whole.
  VANTPropertyImplementation* p = Implementation(property);
  if (p->Value().Kind() != VANTPropertyBoolean) {
    VANTStreamedString message;
    message << "Can't get boolean value from property " << p->FullName();
    Error(message.Text(), 1);
  }
  value = p->Value().Boolean();
  if (VANTPropertyReadCallback callback = p->ReadCallback()) {
    callback(property, &value);
  }
}

// ---- Checks and stores
// -----------------------------------------------------------------------------

void VANTModule::CheckSettable(VANTPropertyImplementation* property, bool kindFits,
                               const char* kindText) {
  const VANTPropertyDefinition& definition = property->Definition();
  const bool started = (State() & kStarted) != 0;
  const bool modifiable = definition.modifiableAfterStart != 0 || !started;
  if (kindFits && modifiable && property->IsWritable()) {
    return;
  }
  VANTStreamedString message;
  const char* failure = "Failure while trying to set value of property ";
  if (started && definition.modifiableAfterStart == 0) {
    message << failure << property->FullName() << ". This property can't be modified after start.";
  } else if (definition.readOnly == 0 && !property->IsWritable()) {
    message << failure << property->FullName() << ". This property is not mutable.";
  } else if (definition.readOnly == 0) {
    message << kindText << property->FullName();
  } else {
    message << failure << property->FullName() << ". This property is read only.";
  }
  Error(message.Text(), 1);
}

void VANTModule::StoreEnum(VANTPropertyImplementation* property, const VANTEnumStruct& value) {
  property->Value().Enum() = value;
}

void VANTModule::StoreString(VANTPropertyImplementation* property, const char* value) {
  const char* text = value == nullptr ? "" : value;
  if (property->Value().Kind() == VANTPropertyString) {
    const uint32_t flags = property->Definition().stringFlags;
    if ((flags & 64) != 0 && text[0] != 0) {
      // A failed path check is reported; the value is kept all the same.
      const VANTFile file(text);
      VANTStreamedString message;
      if ((flags & 16) != 0) {
        if (!file.ExistsAndIsReadable()) {
          message << text << " does not exist or is not readable.";
        }
      } else if ((flags & 32) != 0) {
        if (!file.IsDirectory()) {
          message << text << " is not a directory.";
        }
      }
      if (!message.IsEmpty()) {
        VANT::ExternalError(message.Text());
      }
    }
    property->Value().String() = text;
    return;
  }
  // An enumeration: its text form, or the text of one of its values.
  VANTEnumStruct& enumeration = property->Value().Enum();
  if (VANTPropertyValue::LooksLikeEnum(text)) {
    enumeration.FromString(text, property->Definition().fixedEnumValues != 0);
    return;
  }
  VANTStreamedString message;
  if (enumeration.Count() == 0) {
    message << "No possible value for property " << property->FullName();
    Report(message.Text(), VANT::kError);
    return;
  }
  const int32_t index = enumeration.Find(text);
  if (index < 0) {
    message << text << " does not match any of the possible properties for property "
            << property->FullName();
    Report(message.Text(), VANT::kError);
    return;
  }
  enumeration.SetSelected(index);
}

void VANTModule::StoreInteger(VANTPropertyImplementation* property, int64_t value) {
  if (property->Value().Kind() == VANTPropertyInteger) {
    property->Value().Integer() = value;
    return;
  }
  VANTEnumStruct& enumeration = property->Value().Enum();
  const int32_t count = enumeration.Count();
  if (count == 0) {
    if (value != -1) {
      VANTStreamedString message;
      message << "Index " << static_cast<long long>(value)
              << " not among possible values for enum property " << property->FullName() << " [-1]";
      Report(message.Text(), VANT::kError);
    }
    enumeration.SetSelected(-1);
    return;
  }
  if (value < 0 || value >= count) {
    VANTStreamedString message;
    message << "Index " << static_cast<long long>(value)
            << " not among possible values for enum property " << property->FullName() << " [0";
    if (count != 1) {
      message << ".." << (count - 1);
    }
    message << "]";
    Report(message.Text(), VANT::kError);
    return;
  }
  enumeration.SetSelected(static_cast<int32_t>(value));
}

// ---- Checked setters
// -------------------------------------------------------------------------------

namespace {

// Step 2 of every checked setter once the value is stored: needsInit cleared, the write callback,
// then the changed flag and event. A callback that raises leaves the flag and event untouched.
void FinishCheckedSet(VANTProperty* property) {
  VANTPropertyImplementation* p = Implementation(property);
  p->Definition().needsInit = 0;
  if (VANTPropertyWriteCallback callback = p->WriteCallback()) {
    callback(property);
  }
  p->MarkChanged();
}

} // namespace

void VANTModule::SetEnum(VANTProperty* property, const VANTEnumStruct& value) {
  VANTPropertyImplementation* p = Implementation(property);
  VANTCountedLocker lock(m_propertyLock);
  CheckSettable(p, IsEnum(p), kSetEnumText);
  StoreEnum(p, value);
  FinishCheckedSet(property);
}

void VANTModule::SetString(VANTProperty* property, const char* value) {
  VANTPropertyImplementation* p = Implementation(property);
  VANTCountedLocker lock(m_propertyLock);
  CheckSettable(p, p->Value().Kind() == VANTPropertyString || IsEnum(p), kSetStringText);
  StoreString(p, value);
  FinishCheckedSet(property);
}

void VANTModule::SetFloat(VANTProperty* property, double value) {
  VANTPropertyImplementation* p = Implementation(property);
  VANTCountedLocker lock(m_propertyLock);
  CheckSettable(p, p->Value().Kind() == VANTPropertyFloat, kSetFloatText);
  p->Value().Float() = value;
  FinishCheckedSet(property);
}

void VANTModule::SetInteger(VANTProperty* property, int64_t value) {
  VANTPropertyImplementation* p = Implementation(property);
  VANTCountedLocker lock(m_propertyLock);
  CheckSettable(p, p->Value().Kind() == VANTPropertyInteger || IsEnum(p), kSetIntegerText);
  StoreInteger(p, value);
  FinishCheckedSet(property);
}

void VANTModule::SetBoolean(VANTProperty* property, bool value) {
  VANTPropertyImplementation* p = Implementation(property);
  VANTCountedLocker lock(m_propertyLock);
  CheckSettable(p, p->Value().Kind() == VANTPropertyBoolean, kSetBooleanText);
  p->Value().Boolean() = value;
  FinishCheckedSet(property);
}

// ---- Unchecked setters
// -----------------------------------------------------------------------------

namespace {

template <typename Store>
void SetUnchecked(VANTModule& module, VANTCountedLock& lock, VANTProperty* property, bool kindFits,
                  const char* kindText, Store store) {
  VANTPropertyImplementation* p = Implementation(property);
  VANTCountedLocker locker(lock);
  if (!kindFits) {
    VANTStreamedString message;
    message << kindText << p->FullName();
    module.Error(message.Text(), 1);
  }
  store(p);
  p->MarkChanged();
}

} // namespace

void VANTModule::SetEnumUnchecked(VANTProperty* property, const VANTEnumStruct& value) {
  SetUnchecked(*this, m_propertyLock, property, IsEnum(Implementation(property)), kSetEnumText,
               [&](VANTPropertyImplementation* p) { StoreEnum(p, value); });
}

void VANTModule::SetStringUnchecked(VANTProperty* property, const char* value) {
  const int32_t kind = property->Kind();
  SetUnchecked(*this, m_propertyLock, property,
               kind == VANTPropertyString || kind == VANTPropertyEnum, kSetStringText,
               [&](VANTPropertyImplementation* p) { StoreString(p, value); });
}

void VANTModule::SetFloatUnchecked(VANTProperty* property, double value) {
  SetUnchecked(*this, m_propertyLock, property, property->Kind() == VANTPropertyFloat,
               kSetFloatText, [&](VANTPropertyImplementation* p) { p->Value().Float() = value; });
}

void VANTModule::SetIntegerUnchecked(VANTProperty* property, int64_t value) {
  const int32_t kind = property->Kind();
  SetUnchecked(*this, m_propertyLock, property,
               kind == VANTPropertyInteger || kind == VANTPropertyEnum, kSetIntegerText,
               [&](VANTPropertyImplementation* p) { StoreInteger(p, value); });
}

void VANTModule::SetBooleanUnchecked(VANTProperty* property, bool value) {
  SetUnchecked(*this, m_propertyLock, property, property->Kind() == VANTPropertyBoolean,
               kSetBooleanText,
               [&](VANTPropertyImplementation* p) { p->Value().Boolean() = value; });
}
