#include "runtime/vant_dynamic_creation.h"

#include "dataflow/vant_input_implementation.h"
#include "dataflow/vant_output_implementation.h"
#include "kernel/vant_host_kernel.h"
#include "kernel/vant_kernel.h"
#include "runtime/vant_action.h"
#include "runtime/vant_component.h"
#include "runtime/vant_module.h"
#include "runtime/vant_module_io.h"
#include "runtime/vant_property.h"
#include "runtime/vant_report.h"
#include "util/vant_exceptions.h"
#include "util/vant_regexp.h"

#include <cstring>
#include <memory>
#include <mutex>

namespace VANT {

bool IsValidElementName(const char* name, bool moduleOutput) {
  if (name == nullptr || std::strchr(name, '\n') != nullptr) {
    return false;
  }
  // A compiled pattern is matched by one thread at a time.
  static std::mutex mutex;
  static VANTRegExp plain("^[a-zA-Z][a-zA-Z_0-9]*$");
  static VANTRegExp dotted("^[a-zA-Z][a-zA-Z_0-9\\.:]*$");
  std::lock_guard<std::mutex> lock(mutex);
  return (moduleOutput ? dotted : plain).Match(name);
}

} // namespace VANT

namespace {

VANTPropertyImplementation* PropertyImpl(VANTProperty* property) {
  return static_cast<VANTPropertyImplementation*>(property);
}

VANTActionImplementation* ActionImpl(VANTAction* action) {
  return static_cast<VANTActionImplementation*>(action);
}

VANTInputImplementation* InputImpl(VANTInput* input) {
  return static_cast<VANTInputImplementation*>(input);
}

VANTOutputImplementation* OutputImpl(VANTOutput* output) {
  return static_cast<VANTOutputImplementation*>(output);
}

// ---- Sub-properties of inputs and outputs ------------------------------------------------------
// Each handler finds its element from the property's short name: the part before the last dot.

VANTStackedString<40> ElementNameOf(VANTProperty* property) {
  const char* shortName = property->ShortName();
  const char* dot = std::strrchr(shortName, '.');
  return dot != nullptr ? VANTStackedString<40>(shortName, static_cast<int32_t>(dot - shortName))
                        : VANTStackedString<40>(shortName);
}

VANTInputImplementation* InputOf(VANTProperty* property) {
  VANTModule* module = property->Module();
  const VANTStackedString<40> name = ElementNameOf(property);
  return module->HasInput(name.Text()) ? InputImpl(module->Input(name.Text())) : nullptr;
}

VANTOutputImplementation* OutputOf(VANTProperty* property) {
  VANTModule* module = property->Module();
  const VANTStackedString<40> name = ElementNameOf(property);
  return module->HasOutput(name.Text()) ? OutputImpl(module->Output(name.Text())) : nullptr;
}

int64_t StoredInteger(VANTProperty* property) {
  int64_t value = 0;
  property->GetInteger(value);
  return value;
}

void InputSubsamplingChanged(VANTProperty* property) {
  if (VANTInputImplementation* input = InputOf(property)) {
    input->ChangeSubsampling(StoredInteger(property));
  }
}

// After a change of an input's reader type, accepted or not, the engine refreshes what it shows
// of the input (the action refreshInputProperties of its module Engine.time, when there is one).
void RefreshEngineInput(const char* inputName) {
  VANTHostKernel* kernel = VANT::Kernel();
  if (kernel == nullptr) {
    return;
  }
  VANTSymbolRecord* record = kernel->ModuleRecord("Engine.time");
  if (record == nullptr || record->module == nullptr) {
    return;
  }
  VANTModule* engineTime = record->module;
  if (engineTime->HasAction("refreshInputProperties")) {
    engineTime->Action("refreshInputProperties")->Trigger(reinterpret_cast<intptr_t>(inputName));
  }
}

void InputReaderTypeChanged(VANTProperty* property) {
  if (VANTInputImplementation* input = InputOf(property)) {
    if (!input->ChangeReaderType(StoredInteger(property))) {
      static_cast<VANTPropertyImplementation*>(property)->Value() =
          VANTPropertyValue(static_cast<int64_t>(input->ReaderType()));
    }
    RefreshEngineInput(input->FullName());
  }
}

void OutputSubsamplingChanged(VANTProperty* property) {
  if (VANTOutputImplementation* output = OutputOf(property)) {
    output->SetSubsampling(static_cast<int32_t>(StoredInteger(property)));
  }
}

void OutputFifoSizeChanged(VANTProperty* property) {
  VANTOutputImplementation* output = OutputOf(property);
  if (output == nullptr) {
    return;
  }
  VANTModule* module = property->Module();
  if ((module->State() & VANTModule::kStarted) != 0) {
    module->Report("Cannot change the output fifo sizes while module is running.", VANT::kError, 0);
    return;
  }
  output->ResizeFifo(static_cast<int32_t>(StoredInteger(property)));
}

void OutputPeriodicChanged(VANTProperty* property) {
  if (VANTOutputImplementation* output = OutputOf(property)) {
    bool value = false;
    property->GetBoolean(value);
    output->SetPeriodic(value);
  }
}

// The definitions of the sub-properties; their name pointers are their identity.
VANTPropertyDefinition SubPropertyDefinition(const char* name, const VANTPropertyValue* value) {
  VANTPropertyDefinition definition{};
  definition.name = name;
  definition.defaultValue = value;
  definition.modifiableAfterStart = 1;
  definition.fixedEnumValues = 1;
  return definition;
}

constexpr const char kSubsamplingSuffix[] = ".subsampling";
constexpr const char kReaderTypeSuffix[] = ".readerType";
constexpr const char kFifoSizeSuffix[] = ".fifosize";
constexpr const char kPeriodicSuffix[] = ".periodic";

VANTStackedString<40> FullNameOf(const char* moduleName, const char* shortName) {
  VANTStackedString<40> fullName(moduleName);
  fullName.Append('.');
  fullName.Append(shortName);
  return fullName;
}

template <class T>
int32_t PositionOf(const VANTList<T>& list, const VANTListItem<T>* item) {
  int32_t position = 0;
  for (const VANTListItem<T>* it = list.Head(); it != nullptr && it != item; it = it->Next()) {
    ++position;
  }
  return position;
}

template <class T>
struct Found {
  VANTListItem<T>* item;
  bool isNew;
};

} // namespace

/// The creation, reuse and removal steps shared by the element kinds. A friend of VANTModule: it
/// works on the module's lists, cursors and counts, always under the structure lock.
struct VANTDynamicCreation {
  // ---- Per-kind access -------------------------------------------------------------------------

  struct PropertyKind {
    using Element = VANTProperty*;
    static VANTList<Element>& List(VANTModule& m) { return m.m_properties; }
    static VANTListItem<Element>*& Cursor(VANTModule& m) { return m.m_propertyCursor; }
    static const char* FullName(Element e) { return e->FullName(); }
    static const char* DefinitionName(Element e) { return PropertyImpl(e)->DefinitionName(); }
    static void Drop(VANTModule& m, VANTListItem<Element>* item) VANT_REQUIRES(m.m_structureLock) {
      DropProperty(m, item);
    }
  };

  struct InputKind {
    using Element = VANTInput*;
    static VANTList<Element>& List(VANTModule& m) { return m.m_inputs; }
    static VANTListItem<Element>*& Cursor(VANTModule& m) { return m.m_inputCursor; }
    static const char* FullName(Element e) { return InputImpl(e)->FullName(); }
    static const char* DefinitionName(Element e) { return InputImpl(e)->DefinitionName(); }
    static void Drop(VANTModule& m, VANTListItem<Element>* item) VANT_REQUIRES(m.m_structureLock) {
      DropInput(m, item);
    }
  };

  struct OutputKind {
    using Element = VANTOutput*;
    static VANTList<Element>& List(VANTModule& m) { return m.m_outputs; }
    static VANTListItem<Element>*& Cursor(VANTModule& m) { return m.m_outputCursor; }
    static const char* FullName(Element e) { return OutputImpl(e)->FullName(); }
    static const char* DefinitionName(Element e) { return OutputImpl(e)->DefinitionName(); }
    static void Drop(VANTModule& m, VANTListItem<Element>* item) VANT_REQUIRES(m.m_structureLock) {
      DropOutput(m, item);
    }
  };

  struct ActionKind {
    using Element = VANTAction*;
    static VANTList<Element>& List(VANTModule& m) { return m.m_actions; }
    static VANTListItem<Element>*& Cursor(VANTModule& m) { return m.m_actionCursor; }
    static const char* FullName(Element e) { return e->FullName(); }
    static const char* DefinitionName(Element e) { return ActionImpl(e)->DefinitionName(); }
    static void Drop(VANTModule& m, VANTListItem<Element>* item) VANT_REQUIRES(m.m_structureLock) {
      DropAction(m, item);
    }
  };

  // ---- Reuse rule ------------------------------------------------------------------------------

  /// Finds the element of that full name from the kind's cursor on, or makes one (make() returns
  /// a new element that the list then owns). See vant_dynamic_creation.h.
  template <class Kind, class Make>
  static Found<typename Kind::Element> FindOrCreate(VANTModule& m, const char* fullName,
                                                    const char* definitionName, Make make)
      VANT_REQUIRES(m.m_structureLock) {
    using Element = typename Kind::Element;
    VANTList<Element>& list = Kind::List(m);
    VANTListItem<Element>*& cursor = Kind::Cursor(m);
    VANTListItem<Element>* found = cursor;
    while (found != nullptr && std::strcmp(Kind::FullName(found->Value()), fullName) != 0) {
      found = found->Next();
    }
    if (found == nullptr) {
      return {Insert<Element>(list, cursor, nullptr, make), true};
    }
    while (cursor != found) {
      Kind::Drop(m, cursor); // moves the cursor on
    }
    if (Kind::DefinitionName(found->Value()) == definitionName) {
      cursor = found->Next();
      return {found, false};
    }
    VANTListItem<Element>* item = Insert<Element>(list, nullptr, found, make);
    cursor = item->Next();
    Kind::Drop(m, found); // its name leaves the engine before the new element registers
    return {item, true};
  }

  /// Links make()'s element just before `before`, or just after `after` when that is given.
  template <class Element, class Make>
  static VANTListItem<Element>* Insert(VANTList<Element>& list, VANTListItem<Element>* before,
                                       VANTListItem<Element>* after, Make make) {
    auto element = make();
    VANTListItem<Element>* item = after != nullptr ? list.InsertAfter(after, element.get())
                                                   : list.InsertBefore(before, element.get());
    element.release();
    return item;
  }

  /// A new element that the engine refused: unlinked and destroyed (it holds no name yet).
  template <class Element>
  static void Discard(VANTList<Element>& list, VANTListItem<Element>* item,
                      VANTListItem<Element>*& cursor) {
    if (cursor == item) {
      cursor = item->Next();
    }
    Element element = item->Value();
    list.Remove(item);
    delete element;
  }

  // These give up the caller's structure lock before they raise; the analysis does not follow a
  // locker handed in by reference.
  [[noreturn]] static void RefuseName(VANTModule& m, VANTCountedLocker& lock, const char* what,
                                      const char* fullName) VANT_NO_THREAD_SAFETY_ANALYSIS {
    lock.Release();
    VANTStreamedString message;
    message << "Can't create " << what << " " << fullName << ". The symbol already exists.";
    m.Error(message.Text(), 1);
    throw VANT::ErrorException; // not reached: Error throws
  }

  /// Steps 1 to 3 of every creation: dying check, definition check, name check.
  static void CheckCreation(VANTModule& m, VANTCountedLocker& lock, const char* definitionName,
                            const char* name, const char* badDefinition, const char* invalidName,
                            bool moduleOutput = false) VANT_NO_THREAD_SAFETY_ANALYSIS {
    if (m.IsDying()) {
      lock.Release();
      throw VANT::StopException;
    }
    if (definitionName == nullptr) {
      lock.Release();
      m.Error(badDefinition, 2);
    }
    if (name != nullptr && !VANT::IsValidElementName(name, moduleOutput)) {
      lock.Release();
      VANTStreamedString message;
      message << invalidName << name;
      m.Error(message.Text(), 1);
    }
  }

  // ---- Properties ------------------------------------------------------------------------------

  /// Registers a new property and enters its name; a refusal discards it and raises Error.
  static void RegisterProperty(VANTModule& m, VANTCountedLocker& lock,
                               VANTListItem<VANTProperty*>* item, bool builtIn)
      VANT_REQUIRES(m.m_structureLock) {
    VANTProperty* property = item->Value();
    VANTHostKernel* kernel = VANT::Kernel();
    if (kernel != nullptr && !kernel->RegisterProperty(property)) {
      VANTStackedString<40> fullName(property->FullName());
      if (builtIn) {
        UnlinkBuiltIn(m, item);
      }
      Discard(m.m_properties, item, m.m_propertyCursor);
      RefuseName(m, lock, "property", fullName.Text());
    }
    m.m_symbolNames.PushBack(property->FullName());
  }

  static VANTProperty* NewProperty(VANTModule& m, const VANTPropertyDefinition& definition,
                                   const char* name, bool subProperty) {
    VANTCountedLocker lock(m.m_structureLock);
    CheckCreation(m, lock, definition.name, subProperty ? nullptr : name,
                  "Call to NewProperty failed. Bad property definition.",
                  "Trying to create a property with an invalid name: ");
    const char* shortName = name != nullptr ? name : definition.name;
    VANTStackedString<40> fullName;
    if (subProperty && shortName[0] == '\\') {
      ++shortName;
      fullName = shortName;
    } else {
      fullName = FullNameOf(m.Name(), shortName);
    }
    Found<VANTProperty*> found =
        FindOrCreate<PropertyKind>(m, fullName.Text(), definition.name, [&] {
          return std::make_unique<VANTPropertyImplementation>(&m, definition, fullName.Text(),
                                                              shortName);
        });
    if (found.isNew) {
      RegisterProperty(m, lock, found.item, false);
    }
    return found.item->Value();
  }

  /// A sub-property of an input or output (full name module.element.suffix): placed after the
  /// last built-in property and counted as one.
  static VANTPropertyImplementation* NewBuiltInSubProperty(VANTModule& m,
                                                           const VANTPropertyDefinition& definition,
                                                           const char* elementName,
                                                           const char* suffix) {
    VANTCountedLocker lock(m.m_structureLock);
    VANTStackedString<40> shortName(elementName);
    shortName.Append(suffix);
    VANTStackedString<40> fullName = FullNameOf(m.Name(), shortName.Text());
    auto property = std::make_unique<VANTPropertyImplementation>(&m, definition, fullName.Text(),
                                                                 shortName.Text());
    VANTListItem<VANTProperty*>* item = m.m_properties.InsertAfter(m.m_lastBuiltIn, property.get());
    VANTPropertyImplementation* created = property.release();
    m.m_lastBuiltIn = item;
    ++m.m_builtInCount;
    RegisterProperty(m, lock, item, true);
    return created;
  }

  /// Takes a built-in property out of the built-in range (before it is unlinked).
  static void UnlinkBuiltIn(VANTModule& m, VANTListItem<VANTProperty*>* item) {
    if (m.m_lastBuiltIn == item) {
      m.m_lastBuiltIn = item->Previous();
    }
    --m.m_builtInCount;
  }

  static bool IsBuiltIn(VANTModule& m, const VANTListItem<VANTProperty*>* item)
      VANT_REQUIRES(m.m_structureLock) {
    if (m.m_lastBuiltIn == nullptr) {
      return false;
    }
    for (const VANTListItem<VANTProperty*>* it = m.m_properties.Head(); it != nullptr;
         it = it->Next()) {
      if (it == item) {
        return true;
      }
      if (it == m.m_lastBuiltIn) {
        return false;
      }
    }
    return false;
  }

  /// Drops the name of an element from the engine and the symbol-name list.
  static void DropNames(VANTModule& m, const char* fullName) VANT_REQUIRES(m.m_structureLock) {
    if (VANTHostKernel* kernel = VANT::Kernel()) {
      kernel->DropName(fullName);
    }
    for (auto* entry = m.m_symbolNames.Head(); entry != nullptr; entry = entry->Next()) {
      if (entry->Value() == fullName) {
        m.m_symbolNames.Remove(entry);
        break;
      }
    }
  }

  static void DropProperty(VANTModule& m, VANTListItem<VANTProperty*>* item)
      VANT_REQUIRES(m.m_structureLock) {
    VANTProperty* property = item->Value();
    if (m.m_propertyCursor == item) {
      m.m_propertyCursor = item->Next();
    }
    if (IsBuiltIn(m, item)) {
      UnlinkBuiltIn(m, item);
    }
    DropNames(m, property->FullName());
    m.m_properties.Remove(item);
    delete property;
  }

  /// Removes the property of that short name, when there is one.
  static void DropPropertyNamed(VANTModule& m, const char* shortName)
      VANT_REQUIRES(m.m_structureLock) {
    for (auto* item = m.m_properties.Head(); item != nullptr; item = item->Next()) {
      if (std::strcmp(item->Value()->ShortName(), shortName) == 0) {
        DropProperty(m, item);
        return;
      }
    }
  }

  // ---- Inputs and outputs ----------------------------------------------------------------------

  static VANTInput* NewInput(VANTModule& m, const VANTInputDefinition& definition,
                             const char* name) {
    VANTCountedLocker lock(m.m_structureLock);
    CheckCreation(m, lock, definition.name, name, "Call to NewInput failed. Bad input definition.",
                  "Trying to create an input with an invalid name: ");
    const char* shortName = name != nullptr ? name : definition.name;
    VANTStackedString<40> fullName = FullNameOf(m.Name(), shortName);
    Found<VANTInput*> found = FindOrCreate<InputKind>(m, fullName.Text(), definition.name, [&] {
      return std::make_unique<VANTInputImplementation>(&m, definition, fullName.Text(), shortName);
    });
    VANTInput* input = found.item->Value();
    if (!found.isNew) {
      return input;
    }
    VANTHostKernel* kernel = VANT::Kernel();
    if (kernel != nullptr && !kernel->RegisterInput(input)) {
      Discard(m.m_inputs, found.item, m.m_inputCursor);
      RefuseName(m, lock, "input", fullName.Text());
    }
    m.m_symbolNames.PushBack(fullName);

    VANTInputImplementation* implementation = InputImpl(input);
    const VANTPropertyValue subsampling(static_cast<int64_t>(implementation->InputSubsampling()));
    static const char subsamplingName[] = "subsampling";
    VANTPropertyImplementation* subsamplingProperty = NewBuiltInSubProperty(
        m, SubPropertyDefinition(subsamplingName, &subsampling), shortName, kSubsamplingSuffix);
    subsamplingProperty->SetWriteCallback(InputSubsamplingChanged);
    const VANTPropertyValue readerType(static_cast<int64_t>(implementation->ReaderType()));
    static const char readerTypeName[] = "readerType";
    VANTPropertyImplementation* readerTypeProperty = NewBuiltInSubProperty(
        m, SubPropertyDefinition(readerTypeName, &readerType), shortName, kReaderTypeSuffix);
    readerTypeProperty->SetWriteCallback(InputReaderTypeChanged);
    if (kernel != nullptr) {
      kernel->AnnounceComponentInput(fullName.Text(), m.Name(), shortName,
                                     PositionOf(m.m_inputs, found.item));
    }
    return input;
  }

  static VANTOutput* NewOutput(VANTModule& m, const VANTOutputDefinition& definition,
                               const char* name, bool ofComponent, const char* modelName) {
    VANTCountedLocker lock(m.m_structureLock);
    CheckCreation(m, lock, definition.name, name,
                  "Call to NewOutput failed. Bad output definition.",
                  "Trying to create an output with an invalid name: ", !ofComponent);
    const char* shortName = name != nullptr ? name : definition.name;
    VANTStackedString<40> fullName = FullNameOf(m.Name(), shortName);
    Found<VANTOutput*> found = FindOrCreate<OutputKind>(m, fullName.Text(), definition.name, [&] {
      return std::make_unique<VANTOutputImplementation>(&m, definition, fullName.Text(), shortName);
    });
    VANTOutput* output = found.item->Value();
    if (!found.isNew) {
      return output;
    }
    VANTHostKernel* kernel = VANT::Kernel();
    if (kernel != nullptr && !kernel->RegisterOutput(output)) {
      Discard(m.m_outputs, found.item, m.m_outputCursor);
      RefuseName(m, lock, "output", fullName.Text());
    }
    m.m_symbolNames.PushBack(fullName);

    VANTOutputImplementation* implementation = OutputImpl(output);
    const VANTPropertyValue subsampling(static_cast<int64_t>(definition.subsampling));
    static const char subsamplingName[] = "subsampling";
    NewBuiltInSubProperty(m, SubPropertyDefinition(subsamplingName, &subsampling), shortName,
                          kSubsamplingSuffix)
        ->SetWriteCallback(OutputSubsamplingChanged);
    const VANTPropertyValue fifoSize(static_cast<int64_t>(definition.fifoSize));
    static const char fifoSizeName[] = "fifosize";
    NewBuiltInSubProperty(m, SubPropertyDefinition(fifoSizeName, &fifoSize), shortName,
                          kFifoSizeSuffix)
        ->SetWriteCallback(OutputFifoSizeChanged);
    const VANTPropertyValue periodic(false);
    static const char periodicName[] = "periodic";
    NewBuiltInSubProperty(m, SubPropertyDefinition(periodicName, &periodic), shortName,
                          kPeriodicSuffix)
        ->SetWriteCallback(OutputPeriodicChanged);
    implementation->SetModelName(modelName != nullptr ? modelName : "");
    if (kernel != nullptr) {
      const int32_t position = PositionOf(m.m_outputs, found.item);
      if (ofComponent) {
        kernel->AnnounceComponentOutput(fullName.Text(), m.Name(), shortName, position);
      } else {
        kernel->AnnounceModuleOutput(fullName.Text(), m.Name(), shortName, position);
      }
    }
    return output;
  }

  /// Removes the sub-property "<element><suffix>" of an input or output (a built-in one).
  static void DropSubProperty(VANTModule& m, const char* elementName, const char* suffix)
      VANT_REQUIRES(m.m_structureLock) {
    VANTStackedString<40> shortName(elementName);
    shortName.Append(suffix);
    DropPropertyNamed(m, shortName.Text());
  }

  static void DropInput(VANTModule& m, VANTListItem<VANTInput*>* item)
      VANT_REQUIRES(m.m_structureLock) {
    VANTInputImplementation* input = InputImpl(item->Value());
    VANTHostKernel* kernel = VANT::Kernel();
    if (kernel != nullptr) {
      kernel->BeginChange("Removing an input");
    }
    if (m.m_inputCursor == item) {
      m.m_inputCursor = item->Next();
    }
    if (input->IsConnected()) {
      if (kernel != nullptr) {
        kernel->Disconnect(input->Source(), input);
      }
      if (VANTOutput* source = input->Source()) {
        source->EngineDisconnect(input); // the engine did not detach it: do it here
      }
    }
    DropSubProperty(m, input->ShortName(), kSubsamplingSuffix);
    DropSubProperty(m, input->ShortName(), kReaderTypeSuffix);
    VANTStackedString<40> fullName(input->FullName());
    DropNames(m, fullName.Text());
    if (kernel != nullptr) {
      kernel->InputRemoved(fullName.Text());
    }
    m.m_inputs.Remove(item);
    delete input;
    if (kernel != nullptr) {
      kernel->EndChange();
    }
  }

  static void DropOutput(VANTModule& m, VANTListItem<VANTOutput*>* item)
      VANT_REQUIRES(m.m_structureLock) {
    VANTOutputImplementation* output = OutputImpl(item->Value());
    VANTHostKernel* kernel = VANT::Kernel();
    if (kernel != nullptr) {
      kernel->BeginChange("Removing an output");
    }
    if (m.m_outputCursor == item) {
      m.m_outputCursor = item->Next();
    }
    // Its inputs are disconnected as the engine does it before anything of it goes: a reader
    // waiting on it wakes and waits for a new connection.
    output->DisconnectAll();
    DropSubProperty(m, output->ShortName(), kSubsamplingSuffix);
    DropSubProperty(m, output->ShortName(), kFifoSizeSuffix);
    DropSubProperty(m, output->ShortName(), kPeriodicSuffix);
    VANTStackedString<40> fullName(output->FullName());
    DropNames(m, fullName.Text());
    if (kernel != nullptr) {
      kernel->OutputRemoved(fullName.Text());
    }
    m.m_outputs.Remove(item);
    delete output;
    if (kernel != nullptr) {
      kernel->EndChange();
    }
  }

  // ---- Actions ---------------------------------------------------------------------------------

  static VANTAction* NewAction(VANTModule& m, const VANTActionDefinition& definition,
                               const char* name) {
    VANTCountedLocker lock(m.m_structureLock);
    CheckCreation(m, lock, definition.name, name,
                  "Call to NewAction failed. Bad action definition.",
                  "Trying to create an action with an invalid name: ");
    const char* shortName = name != nullptr ? name : definition.name;
    VANTStackedString<40> fullName = FullNameOf(m.Name(), shortName);
    Found<VANTAction*> found = FindOrCreate<ActionKind>(m, fullName.Text(), definition.name, [&] {
      return std::make_unique<VANTActionImplementation>(&m, definition, fullName.Text(), shortName);
    });
    VANTAction* action = found.item->Value();
    if (found.isNew) {
      VANTHostKernel* kernel = VANT::Kernel();
      if (kernel != nullptr && !kernel->RegisterAction(action)) {
        Discard(m.m_actions, found.item, m.m_actionCursor);
        RefuseName(m, lock, "action", fullName.Text());
      }
      m.m_symbolNames.PushBack(fullName);
    }
    ActionImpl(action)->SetIndex(PositionOf(m.m_actions, found.item));
    return action;
  }

  static void DropAction(VANTModule& m, VANTListItem<VANTAction*>* item)
      VANT_REQUIRES(m.m_structureLock) {
    VANTAction* action = item->Value();
    if (m.m_actionCursor == item) {
      m.m_actionCursor = item->Next();
    }
    DropNames(m, action->FullName());
    m.m_actions.Remove(item);
    delete action;
  }

  // ---- Lookups ---------------------------------------------------------------------------------

  [[noreturn]] static void UnknownIndex(VANTModule& m, VANTCountedLocker& lock, const char* kind,
                                        int32_t index) VANT_NO_THREAD_SAFETY_ANALYSIS {
    lock.Release();
    VANTStreamedString message;
    message << "Trying to access unknown " << kind << " #" << index << " of " << m.TypeText() << " "
            << m.Name();
    VANT::RaiseError(message.Text());
  }

  [[noreturn]] static void UnknownName(VANTModule& m, VANTCountedLocker& lock, const char* kind,
                                       const char* name) VANT_NO_THREAD_SAFETY_ANALYSIS {
    lock.Release();
    VANTStreamedString message;
    message << "Trying to access unknown " << kind << " " << name << " of " << m.TypeText() << " "
            << m.Name();
    VANT::RaiseError(message.Text());
  }

  template <class T>
  static T AtIndex(VANTModule& m, VANTList<T> VANTModule::*elements, const char* kind,
                   int32_t index) {
    VANTCountedLocker lock(m.m_structureLock);
    VANTList<T>& list = m.*elements;
    if (index >= 0 && index < list.Count()) {
      VANTListItem<T>* item = list.Head();
      for (int32_t i = 0; i < index; ++i) {
        item = item->Next();
      }
      return item->Value();
    }
    UnknownIndex(m, lock, kind, index);
  }

  /// The element whose short name (shortName(element)) equals name, or null.
  template <class T, class ShortName>
  static T Named(VANTList<T>& list, const char* name, ShortName shortName) {
    for (T element : list) {
      if (std::strcmp(shortName(element), name == nullptr ? "" : name) == 0) {
        return element;
      }
    }
    return nullptr;
  }

  template <class T, class ShortName>
  static T ByName(VANTModule& m, VANTList<T> VANTModule::*elements, const char* kind,
                  const char* name, ShortName shortName) {
    VANTCountedLocker lock(m.m_structureLock);
    if (T element = Named(m.*elements, name, shortName)) {
      return element;
    }
    UnknownName(m, lock, kind, name);
  }

  // ---- Model forms -----------------------------------------------------------------------------

  [[noreturn]] static void UnknownModel(VANTComponent& c, const char* operation, const char* model,
                                        const char* name) {
    VANTStreamedString message;
    message << "Call to " << operation << "(" << model << ", " << name << ") failed. "
            << "The given model (" << model << ") does not exist.";
    c.Error(message.Text(), 2);
    throw VANT::ErrorException; // not reached: Error throws
  }

  /// The entry of a definition table whose name equals model, or null.
  template <class Entry>
  static const Entry* FindEntry(const Entry* table, const char* model) {
    if (table != nullptr && model != nullptr) {
      for (const Entry* entry = table; entry->name != nullptr; ++entry) {
        if (std::strcmp(entry->name, model) == 0) {
          return entry;
        }
      }
    }
    return nullptr;
  }

  // ---- End of Dynamic, renaming, construction --------------------------------------------------

  static void RemoveUndeclared(VANTModule& m) {
    VANTCountedLocker lock(m.m_structureLock);
    while (m.m_inputCursor != nullptr) {
      DropInput(m, m.m_inputCursor);
    }
    while (m.m_outputCursor != nullptr) {
      DropOutput(m, m.m_outputCursor);
    }
    while (m.m_propertyCursor != nullptr) {
      DropProperty(m, m.m_propertyCursor);
    }
    while (m.m_actionCursor != nullptr) {
      DropAction(m, m.m_actionCursor);
    }
  }

  static void RenameActions(VANTModule& m, const char* oldName, const char* newName) {
    VANTCountedLocker lock(m.m_structureLock);
    for (VANTInput* input : m.m_inputs) {
      InputImpl(input)->Rename(oldName, newName);
    }
    for (VANTOutput* output : m.m_outputs) {
      OutputImpl(output)->Rename(oldName, newName);
    }
    for (VANTAction* action : m.m_actions) {
      ActionImpl(action)->Rename(oldName, newName);
    }
  }
};

// ---- VANTModule
// ----------------------------------------------------------------------------------

VANTInput* VANTModule::NewInput(const VANTInputDefinition& definition, const char* name) {
  return VANTDynamicCreation::NewInput(*this, definition, name);
}

VANTOutput* VANTModule::NewOutput(const VANTOutputDefinition& definition, const char* name) {
  return VANTDynamicCreation::NewOutput(*this, definition, name, false, nullptr);
}

VANTInput* VANTModule::Input(int32_t index) {
  return VANTDynamicCreation::AtIndex(*this, &VANTModule::m_inputs, "input", index);
}

VANTInput* VANTModule::Input(const char* name) {
  return VANTDynamicCreation::ByName(*this, &VANTModule::m_inputs, "input", name,
                                     [](VANTInput* i) { return i->ShortName(); });
}

bool VANTModule::HasInput(const char* name) {
  VANTCountedLocker lock(m_structureLock);
  return VANTDynamicCreation::Named(m_inputs, name, [](VANTInput* i) { return i->ShortName(); }) !=
         nullptr;
}

VANTOutput* VANTModule::Output(int32_t index) {
  return VANTDynamicCreation::AtIndex(*this, &VANTModule::m_outputs, "output", index);
}

VANTOutput* VANTModule::Output(const char* name) {
  return VANTDynamicCreation::ByName(
      *this, &VANTModule::m_outputs, "output", name,
      [](VANTOutput* o) { return static_cast<VANTOutputImplementation*>(o)->ShortName(); });
}

bool VANTModule::HasOutput(const char* name) {
  VANTCountedLocker lock(m_structureLock);
  return VANTDynamicCreation::Named(m_outputs, name, [](VANTOutput* o) {
           return static_cast<VANTOutputImplementation*>(o)->ShortName();
         }) != nullptr;
}

int32_t VANTModule::InputCount() {
  VANTCountedLocker lock(m_structureLock);
  return m_inputs.Count();
}

int32_t VANTModule::OutputCount() {
  VANTCountedLocker lock(m_structureLock);
  return m_outputs.Count();
}

void VANTModule::RemoveInput(VANTInput* input) {
  VANTCountedLocker lock(m_structureLock);
  if (VANTListItem<VANTInput*>* item = m_inputs.Find(input)) {
    VANTDynamicCreation::DropInput(*this, item);
  }
}

void VANTModule::RemoveOutput(VANTOutput* output) {
  VANTCountedLocker lock(m_structureLock);
  if (VANTListItem<VANTOutput*>* item = m_outputs.Find(output)) {
    VANTDynamicCreation::DropOutput(*this, item);
  }
}

VANTProperty* VANTModule::NewProperty(const VANTPropertyDefinition& definition, const char* name) {
  return VANTDynamicCreation::NewProperty(*this, definition, name, false);
}

VANTProperty* VANTModule::NewSubProperty(const VANTPropertyDefinition& definition,
                                         const char* name) {
  return VANTDynamicCreation::NewProperty(*this, definition, name, true);
}

VANTAction* VANTModule::NewAction(const VANTActionDefinition& definition, const char* name) {
  return VANTDynamicCreation::NewAction(*this, definition, name);
}

VANTProperty* VANTModule::Property(int32_t index) {
  return VANTDynamicCreation::AtIndex(*this, &VANTModule::m_properties, "property", index);
}

VANTProperty* VANTModule::Property(const char* name) {
  return VANTDynamicCreation::ByName(*this, &VANTModule::m_properties, "property", name,
                                     [](VANTProperty* p) { return p->ShortName(); });
}

bool VANTModule::HasProperty(const char* name) {
  return FindProperty(name) != nullptr;
}

VANTProperty* VANTModule::FindProperty(const char* shortName) {
  VANTCountedLocker lock(m_structureLock);
  return VANTDynamicCreation::Named(m_properties, shortName,
                                    [](VANTProperty* p) { return p->ShortName(); });
}

VANTAction* VANTModule::Action(int32_t index) {
  return VANTDynamicCreation::AtIndex(*this, &VANTModule::m_actions, "action", index);
}

VANTAction* VANTModule::Action(const char* name) {
  return VANTDynamicCreation::ByName(*this, &VANTModule::m_actions, "action", name,
                                     [](VANTAction* a) { return a->ShortName(); });
}

bool VANTModule::HasAction(const char* name) {
  VANTCountedLocker lock(m_structureLock);
  return VANTDynamicCreation::Named(m_actions, name,
                                    [](VANTAction* a) { return a->ShortName(); }) != nullptr;
}

int32_t VANTModule::PropertyCount() {
  VANTCountedLocker lock(m_structureLock);
  return m_properties.Count();
}

int32_t VANTModule::ActionCount() {
  VANTCountedLocker lock(m_structureLock);
  return m_actions.Count();
}

void VANTModule::RemoveProperty(VANTProperty* property) {
  VANTCountedLocker lock(m_structureLock);
  VANTListItem<VANTProperty*>* item = m_properties.Find(property);
  if (item == nullptr) {
    return;
  }
  if (VANTDynamicCreation::IsBuiltIn(*this, item)) {
    VANTStreamedString message;
    message << "Can't remove property " << property->FullName()
            << ". It belongs to the runtime or to an input or output.";
    lock.Release();
    Error(message.Text(), 1);
  }
  VANTDynamicCreation::DropProperty(*this, item);
}

void VANTModule::RemoveAction(VANTAction* action) {
  VANTCountedLocker lock(m_structureLock);
  if (VANTListItem<VANTAction*>* item = m_actions.Find(action)) {
    VANTDynamicCreation::DropAction(*this, item);
  }
}

// ---- VANTComponent
// -------------------------------------------------------------------------------

VANTOutput* VANTComponent::NewOutput(const VANTOutputDefinition& definition, const char* name) {
  return VANTDynamicCreation::NewOutput(*this, definition, name, true,
                                        m_record != nullptr ? m_record->modelName : nullptr);
}

VANTInput* VANTComponent::NewInput(const char* model, const char* name) {
  const VANTInputDefinition* entry =
      VANTDynamicCreation::FindEntry(m_record != nullptr ? m_record->inputs : nullptr, model);
  if (entry == nullptr) {
    VANTDynamicCreation::UnknownModel(*this, "NewInput", model, name);
  }
  return VANTModule::NewInput(*entry, name);
}

VANTOutput* VANTComponent::NewOutput(const char* model, const char* name) {
  const VANTOutputDefinition* entry =
      VANTDynamicCreation::FindEntry(m_record != nullptr ? m_record->outputs : nullptr, model);
  if (entry == nullptr) {
    VANTDynamicCreation::UnknownModel(*this, "NewOutput", model, name);
  }
  return NewOutput(*entry, name);
}

VANTProperty* VANTComponent::NewProperty(const char* model, const char* name) {
  const VANTPropertyDefinition* entry =
      VANTDynamicCreation::FindEntry(m_record != nullptr ? m_record->properties : nullptr, model);
  if (entry == nullptr) {
    VANTDynamicCreation::UnknownModel(*this, "NewProperty", model, name);
  }
  return VANTModule::NewProperty(*entry, name);
}

VANTAction* VANTComponent::NewAction(const char* model, const char* name) {
  const VANTActionDefinition* entry =
      VANTDynamicCreation::FindEntry(m_record != nullptr ? m_record->actions : nullptr, model);
  if (entry == nullptr) {
    VANTDynamicCreation::UnknownModel(*this, "NewAction", model, name);
  }
  return VANTModule::NewAction(*entry, name);
}

// ---- The life cycle's entries
// --------------------------------------------------------------------

namespace VANT::ModuleIO {

void CreateDeclaredElements(VANTComponent& component, const VANTComponentModelDefinition& record) {
  if (record.inputs != nullptr) {
    for (const VANTInputDefinition* entry = record.inputs; entry->name != nullptr; ++entry) {
      component.NewInput(*entry);
    }
  }
  if (record.outputs != nullptr) {
    for (const VANTOutputDefinition* entry = record.outputs; entry->name != nullptr; ++entry) {
      component.NewOutput(*entry);
    }
  }
  if (record.actions != nullptr) {
    for (const VANTActionDefinition* entry = record.actions; entry->name != nullptr; ++entry) {
      component.NewAction(*entry);
    }
  }
}

void RemoveUndeclaredElements(VANTModule& module) {
  VANTDynamicCreation::RemoveUndeclared(module);
}

void RenameElements(VANTModule& module, const char* oldName, const char* newName) {
  VANTDynamicCreation::RenameActions(module, oldName, newName);
}

} // namespace VANT::ModuleIO
