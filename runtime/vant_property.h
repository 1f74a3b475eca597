#pragma once
// Properties: named, typed, observable values of a module. VANTProperty is the handle the engine
// and components use; VANTPropertyImplementation is its one implementation. The typed getters and
// setters live on the owning module (VANTModule, which holds the property lock and the checks);
// the property's own typed operations forward to them.
//
// Thread: any thread may read or set a property; values are guarded by the owning module's
// property lock, and the callbacks run while that lock is held.
// Ownership: a module owns its properties; a property never outlives its module.

#include "runtime/vant_model_definition.h"
#include "runtime/vant_property_value.h"
#include "sync/vant_event.h"
#include "util/vant_string.h"

#include <cstdint>

class VANTModule;
class VANTProperty;

/// Called after a checked setter stored a new value, with the property lock held. It may raise
/// (an integer or any exception); the exception then reaches the setter's caller.
using VANTPropertyWriteCallback = void (*)(VANTProperty* property);
/// Called by the getters with the property lock held. `value` points to the getter's output: an
/// int32_t selection for the enumeration getter, else a VANTStackedString<40>, double, int64_t or
/// bool, as the getter's kind says. The callback may replace the value.
using VANTPropertyReadCallback = void (*)(VANTProperty* property, void* value);

/// The handle of a property. Operations keep their table order: the engine calls them by position.
class VANTProperty {
public:
  virtual void* RawValueAddress() = 0;           // 0: for an enumeration its selected index
  virtual const void* ValueObject() = 0;         // 1: for an enumeration the selected text
  virtual void* PayloadAddress() = 0;            // 2
  virtual const void* PayloadAddressConst() = 0; // 3
  virtual void* PayloadObject() = 0;             // 4: owned string or enumeration, else null
  virtual const char* FullName() = 0;            // 5: module name + "." + short name
  virtual const char* ShortName() = 0;           // 6
  virtual void* Extra() = 0;                     // 7: the definition's extra field
  virtual VANTModule* Module() = 0;              // 8: owner
  virtual int32_t Kind() = 0;                    // 9: VANTPropertyKind
  virtual uint32_t StringFlags() = 0;            // 10
  virtual bool IsWritable() = 0;                 // 11: not read-only and mutable
  virtual bool SetMutable(bool isMutable) = 0;   // 12: then returns IsWritable()
  virtual bool IsChanged() = 0;                  // 13
  virtual void ClearChanged() = 0;               // 14: also resets the changed event
  virtual VANTEvent* ChangedEvent() = 0;         // 15
  virtual VANTEvent* ChangedEventAlias() = 0;    // 16: same event
  virtual void SetEnum(const char* valuesText, int32_t selected) = 0;             // 17
  virtual void SetEnum(const VANTEnumStruct& value) = 0;                          // 18
  virtual void SetString(const VANTStackedString<40>& value) = 0;                 // 19
  virtual void SetString(const char* value) = 0;                                  // 20
  virtual void SetFloat(double value) = 0;                                        // 21
  virtual void SetInteger(int64_t value) = 0;                                     // 22
  virtual void SetInteger32(int32_t value) = 0;                                   // 23
  virtual void SetBoolean(bool value) = 0;                                        // 24
  virtual void GetEnum(VANTStackedString<40>& valuesText, int32_t& selected) = 0; // 25
  virtual void GetEnum(VANTEnumStruct& value) = 0;                                // 26
  virtual void GetString(VANTStackedString<40>& value) = 0;                       // 27
  virtual void GetFloat(double& value) = 0;                                       // 28
  virtual void GetInteger32(int32_t& value) = 0;                                  // 29
  virtual void GetInteger(int64_t& value) = 0;                                    // 30
  virtual void GetBoolean(bool& value) = 0;                                       // 31
  virtual void SetWriteCallback(VANTPropertyWriteCallback callback) = 0;          // 32
  virtual void SetReadCallback(VANTPropertyReadCallback callback) = 0;            // 33
  virtual void SetFixedEnumValues(bool fixed) = 0;                                // 34
  virtual ~VANTProperty() = default;                                              // 35

  // Conveniences over the typed getters.
  int64_t Integer() {
    int64_t value = 0;
    GetInteger(value);
    return value;
  }
  bool Boolean() {
    bool value = false;
    GetBoolean(value);
    return value;
  }
  double Float() {
    double value = 0;
    GetFloat(value);
    return value;
  }
  VANTStackedString<40> String() {
    VANTStackedString<40> value;
    GetString(value);
    return value;
  }
};

/// The one implementation of VANTProperty. Its value, definition copy and flags are read and
/// written by the owning module under the module's property lock.
class VANTPropertyImplementation final : public VANTProperty {
public:
  /// fullName is the whole name (module name + "." + short name); shortName the part after it.
  /// The value is copied from definition.defaultValue (boolean false when null).
  VANTPropertyImplementation(VANTModule* owner, const VANTPropertyDefinition& definition,
                             const char* fullName, const char* shortName);
  ~VANTPropertyImplementation() override;

  void* RawValueAddress() override;
  const void* ValueObject() override;
  void* PayloadAddress() override { return m_value.PayloadAddress(); }
  const void* PayloadAddressConst() override { return m_value.PayloadAddress(); }
  void* PayloadObject() override { return m_value.PayloadObject(); }
  const char* FullName() override { return m_fullName.Text(); }
  const char* ShortName() override { return m_shortName.Text(); }
  void* Extra() override { return m_definition.extra; }
  VANTModule* Module() override { return m_module; }
  int32_t Kind() override { return m_value.Kind(); }
  uint32_t StringFlags() override { return m_definition.stringFlags; }
  bool IsWritable() override { return m_definition.readOnly == 0 && m_mutable; }
  bool SetMutable(bool isMutable) override;
  bool IsChanged() override { return m_changed; }
  void ClearChanged() override;
  VANTEvent* ChangedEvent() override { return &m_changedEvent; }
  VANTEvent* ChangedEventAlias() override { return &m_changedEvent; }
  void SetEnum(const char* valuesText, int32_t selected) override;
  void SetEnum(const VANTEnumStruct& value) override;
  void SetString(const VANTStackedString<40>& value) override;
  void SetString(const char* value) override;
  void SetFloat(double value) override;
  void SetInteger(int64_t value) override;
  void SetInteger32(int32_t value) override;
  void SetBoolean(bool value) override;
  void GetEnum(VANTStackedString<40>& valuesText, int32_t& selected) override;
  void GetEnum(VANTEnumStruct& value) override;
  void GetString(VANTStackedString<40>& value) override;
  void GetFloat(double& value) override;
  void GetInteger32(int32_t& value) override;
  void GetInteger(int64_t& value) override;
  void GetBoolean(bool& value) override;
  void SetWriteCallback(VANTPropertyWriteCallback callback) override { m_writeCallback = callback; }
  void SetReadCallback(VANTPropertyReadCallback callback) override { m_readCallback = callback; }
  void SetFixedEnumValues(bool fixed) override { m_definition.fixedEnumValues = fixed ? 1 : 0; }

  // For the owning module (under its property lock).
  VANTPropertyValue& Value() noexcept { return m_value; }
  VANTPropertyDefinition& Definition() noexcept { return m_definition; }
  /// The definition's name pointer: the identity used when Dynamic declares elements again.
  const char* DefinitionName() const noexcept { return m_definition.name; }
  VANTPropertyWriteCallback WriteCallback() const noexcept { return m_writeCallback; }
  VANTPropertyReadCallback ReadCallback() const noexcept { return m_readCallback; }
  /// Sets the changed flag and signals the changed event.
  void MarkChanged() noexcept;
  /// Module renamed: the full name's module part becomes newName.
  void Rename(const char* oldName, const char* newName);

private:
  VANTStackedString<40> m_fullName;
  VANTStackedString<40> m_shortName;
  VANTPropertyValue m_value;
  VANTPropertyDefinition m_definition; // defaultValue cleared once copied
  VANTEvent m_changedEvent;
  VANTModule* m_module;
  VANTPropertyReadCallback m_readCallback = nullptr;
  VANTPropertyWriteCallback m_writeCallback = nullptr;
  bool m_changed = true;
  bool m_mutable = true;
};

namespace VANT {

/// Reads the string value of the property (string or enumeration) named by its full name, of any
/// module. Without `found`, an unknown symbol or a wrong kind is reported and raised (integer
/// ErrorException); with `found`, it is set to false instead and out is left unchanged.
void GetPropertyStringByName(const char* fullName, VANTStackedString<40>& out,
                             bool* found = nullptr);
/// The same for an enumeration property.
void GetPropertyEnumByName(const char* fullName, VANTEnumStruct& out, bool* found = nullptr);

} // namespace VANT
