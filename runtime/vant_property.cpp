#include "runtime/vant_property.h"

#include "kernel/vant_kernel.h"
#include "runtime/vant_module.h"
#include "runtime/vant_report.h"
#include "util/vant_exceptions.h"

#include <cstring>

VANTPropertyImplementation::VANTPropertyImplementation(VANTModule* owner,
                                                       const VANTPropertyDefinition& definition,
                                                       const char* fullName, const char* shortName)
    : m_fullName(fullName), m_shortName(shortName),
      m_value(definition.defaultValue != nullptr ? *definition.defaultValue : VANTPropertyValue()),
      m_definition(definition), m_module(owner) {
  m_definition.defaultValue = nullptr;
}

VANTPropertyImplementation::~VANTPropertyImplementation() = default;

void* VANTPropertyImplementation::RawValueAddress() {
  if (m_value.Kind() == VANTPropertyEnum) {
    return m_value.Enum().SelectedAddress();
  }
  return m_value.PayloadAddress();
}

const void* VANTPropertyImplementation::ValueObject() {
  if (m_value.Kind() == VANTPropertyEnum) {
    return m_value.Enum().SelectedText();
  }
  if (m_value.Kind() == VANTPropertyString) {
    return &m_value.String();
  }
  return m_value.PayloadAddress();
}

bool VANTPropertyImplementation::SetMutable(bool isMutable) {
  m_mutable = isMutable;
  return IsWritable();
}

void VANTPropertyImplementation::ClearChanged() {
  m_changed = false;
  m_changedEvent.Reset();
}

void VANTPropertyImplementation::MarkChanged() noexcept {
  m_changed = true;
  m_changedEvent.Set();
}

void VANTPropertyImplementation::Rename(const char* oldName, const char* newName) {
  VANT::RenameModulePart(m_fullName, oldName, newName);
}

void VANTPropertyImplementation::SetEnum(const char* valuesText, int32_t selected) {
  m_module->SetEnum(this, VANTEnumStruct(valuesText, selected));
}
void VANTPropertyImplementation::SetEnum(const VANTEnumStruct& value) {
  m_module->SetEnum(this, value);
}
void VANTPropertyImplementation::SetString(const VANTStackedString<40>& value) {
  m_module->SetString(this, value.Text());
}
void VANTPropertyImplementation::SetString(const char* value) {
  m_module->SetString(this, value);
}
void VANTPropertyImplementation::SetFloat(double value) {
  m_module->SetFloat(this, value);
}
void VANTPropertyImplementation::SetInteger(int64_t value) {
  m_module->SetInteger(this, value);
}
void VANTPropertyImplementation::SetInteger32(int32_t value) {
  m_module->SetInteger(this, value);
}
void VANTPropertyImplementation::SetBoolean(bool value) {
  m_module->SetBoolean(this, value);
}

void VANTPropertyImplementation::GetEnum(VANTStackedString<40>& valuesText, int32_t& selected) {
  VANTEnumStruct value;
  m_module->GetEnum(this, value);
  valuesText = value.ValuesText();
  selected = value.Selected();
}
void VANTPropertyImplementation::GetEnum(VANTEnumStruct& value) {
  m_module->GetEnum(this, value);
}
void VANTPropertyImplementation::GetString(VANTStackedString<40>& value) {
  m_module->GetString(this, value);
}
void VANTPropertyImplementation::GetFloat(double& value) {
  m_module->GetFloat(this, value);
}
void VANTPropertyImplementation::GetInteger32(int32_t& value) {
  int64_t wide = 0;
  m_module->GetInteger(this, wide);
  value = static_cast<int32_t>(wide);
}
void VANTPropertyImplementation::GetInteger(int64_t& value) {
  m_module->GetInteger(this, value);
}
void VANTPropertyImplementation::GetBoolean(bool& value) {
  m_module->GetBoolean(this, value);
}

// ---- Reading a property of any module by its full name -----------------------------------------

namespace {

// Reads the symbol named fullName: a property of any module through `read`, or an engine text
// setting (its record's object is the NUL-terminated value) through `readText` when that kind
// accepts texts. An unknown symbol or a wrong kind is reported and raised, or, with `found`,
// only noted there.
template <typename Read, typename ReadText>
void ReadByName(const char* fullName, bool* found, bool (*kindFits)(int32_t),
                const char* wrongKindPrefix, const char* wrongKindSuffix, Read read,
                ReadText readText) {
  enum class Failure { kNone, kUndefined, kKind };
  Failure failure = Failure::kNone;
  VANTHostKernel* kernel = VANT::Kernel();
  if (kernel == nullptr) {
    failure = Failure::kUndefined;
  } else {
    kernel->LockSymbols();
    try {
      VANTSymbolRecord* record = kernel->Symbol(fullName);
      if (record == nullptr || record->object == nullptr) {
        failure = Failure::kUndefined;
      } else if (record->kind == VANTSymbolRecord::kProperty) {
        auto* property = static_cast<VANTProperty*>(record->object);
        if (kindFits(property->Kind())) {
          read(property);
        } else {
          failure = Failure::kKind;
        }
      } else if (record->kind == VANTSymbolRecord::kEngineSetting) {
        if (!readText(static_cast<const char*>(record->object))) {
          failure = Failure::kKind;
        }
      } else {
        failure = Failure::kKind;
      }
    } catch (...) {
      kernel->UnlockSymbols();
      throw;
    }
    kernel->UnlockSymbols();
  }
  if (failure == Failure::kNone) {
    if (found != nullptr) {
      *found = true;
    }
    return;
  }
  if (found != nullptr) {
    *found = false;
    return;
  }
  VANTStreamedString message;
  if (failure == Failure::kUndefined) {
    message << "Can't get value of property " << fullName << ". The symbol is undefined.";
  } else {
    message << wrongKindPrefix << fullName << wrongKindSuffix;
  }
  VANT::ExternalError(message.Text());
  throw VANT::ErrorException;
}

} // namespace

namespace VANT {

void GetPropertyStringByName(const char* fullName, VANTStackedString<40>& out, bool* found) {
  ReadByName(
      fullName, found,
      [](int32_t kind) { return kind == VANTPropertyString || kind == VANTPropertyEnum; },
      "Can't get string value of property ", ". It is not a string or an enum.",
      [&out](VANTProperty* property) { property->GetString(out); },
      [&out](const char* text) {
        out = text;
        return true;
      });
}

void GetPropertyEnumByName(const char* fullName, VANTEnumStruct& out, bool* found) {
  ReadByName(
      fullName, found, [](int32_t kind) { return kind == VANTPropertyEnum; },
      "Can't get string value of property ", ". It is not an enum.",
      [&out](VANTProperty* property) { property->GetEnum(out); },
      [](const char*) { return false; });
}

} // namespace VANT
