#pragma once
// Dynamic input and output models: the bookkeeping of a component whose inputs (or outputs)
// depend on its properties and are declared again in every Dynamic() call.
//
// A set keeps one model per input name across the calls. A model holds the state of its last
// declaration (name, type word, type name, reader type, the type filter and the input definition
// built from them) and the input the component created from it. Declaring a model again with the
// same values leaves its input untouched; a changed declaration builds a new state and creates
// the input again; a model that a call does not declare stays in the set, marked unused, and is
// dropped at the start of the following call.
//
// Use in Dynamic():
//   m_inputModels.RemoveUnusedThenMark();            // first step of every call
//   m_outputModels.RemoveUnusedThenMark();
//   VANTInput* input = m_inputModels.DeclareInput(*this, "input_0", type, "", readerType);
//
// Checked accessors: every accessor checks its precondition. A failed check reports (external
// report, level 2) "[pid.tid] vant_dynamic_io_models.h:<line>/<function> : Assertion Failed:
// <condition>", then "<prefix> : <prefix>: -5", and throws the integer VANT::ErrorException. The
// line numbers and function names of these reports are fixed texts that the engine's users know;
// they do not follow this file's layout.
//
// Thread: a set belongs to its component and is used from Dynamic() only, which the runtime runs
//   under the component's start lock; nothing here locks.
// Ownership: a model owns its state; the state's definition and type filter are what the created
//   input refers to, so a state lives as long as its input is declared. The input itself belongs
//   to the component (the runtime keeps or removes it, see runtime/vant_dynamic_creation.h).

#include "dataflow/vant_data_type.h"
#include "runtime/vant_model_definition.h"
#include "runtime/vant_report.h"
#include "util/vant_exceptions.h"
#include "util/vant_string.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <sys/types.h>
#include <unistd.h>

class VANTInput;
class VANTOutput;

namespace VANT {

struct DynamicInputModel;
struct DynamicOutputModel;
struct DynamicInputModelSet;
struct DynamicOutputModelSet;

namespace DynamicModelCheck {

/// The header name that failed-check reports carry.
inline constexpr const char kHeaderName[] = "vant_dynamic_io_models.h";

/// Reports a failed check of `function` at `line` and throws VANT::ErrorException.
[[noreturn]] inline void Fail(int32_t line, const char* function, const char* condition) {
  VANTStreamedString prefix;
  prefix << "[" << static_cast<int32_t>(getpid()) << "." << static_cast<int32_t>(gettid()) << "] "
         << kHeaderName << ":" << line << "/" << function;
  VANTStreamedString assertion;
  assertion << prefix << " : Assertion Failed: " << condition;
  ExternalReport(assertion.Text(), kError);
  VANTStreamedString exception;
  exception << prefix << ": " << ErrorException;
  VANTStreamedString second;
  second << prefix << " : " << exception;
  ExternalReport(second.Text(), kError);
  throw ErrorException;
}

} // namespace DynamicModelCheck

// ---- States -------------------------------------------------------------------------------------

/// The last declaration of a dynamic input. Never copied or moved: its input definition points at
/// its own name and type filter, and the created input keeps a copy of that definition.
struct DynamicInputState {
  DynamicInputState(const char* name_, uint64_t type_, const char* typeName_, uint32_t readerType)
      : name(name_ != nullptr ? name_ : ""), type(type_), typeName(typeName_),
        typeFilter(0, 0, type_, typeName.Text(), nullptr),
        inputDefinition{name.c_str(), 0, 0, &typeFilter, static_cast<int32_t>(readerType), 1} {}
  DynamicInputState(const DynamicInputState&) = delete;
  DynamicInputState& operator=(const DynamicInputState&) = delete;

  /// The input created from this declaration.
  VANTInput* Instance() const {
    if (m_input == nullptr) {
      DynamicModelCheck::Fail(235, "VANT::DynamicInputModel::State::Instance",
                              "m_input != nullptr");
    }
    return m_input;
  }
  uint32_t ReaderType() const noexcept { return static_cast<uint32_t>(inputDefinition.readerType); }

  bool unused = false;
  std::string name;               // the input's short name
  uint64_t type;                  // declared type word
  VANTStackedString<40> typeName; // declared structure type name; empty for none
  /// mask 0, value 0, accept = type, pattern1 = typeName (empty text when none), no pattern2.
  VANTDataTypeFilter typeFilter;
  /// name, 0, the filter above, the reader type, 1.
  VANTInputDefinition inputDefinition;
  VANTInput* m_input = nullptr;
};

/// The last declaration of a dynamic output.
struct DynamicOutputState {
  DynamicOutputState(const char* name_, uint64_t type_, const char* typeName_,
                     int32_t defaultBufferSize, int32_t fifoSize, int32_t subsampling)
      : name(name_ != nullptr ? name_ : ""), type(type_),
        typeName(typeName_), outputDefinition{name.c_str(),
                                              0,
                                              0,
                                              VANTDataTypeDef{type_, typeName.Text(), nullptr},
                                              defaultBufferSize,
                                              fifoSize,
                                              subsampling,
                                              1} {}
  DynamicOutputState(const DynamicOutputState&) = delete;
  DynamicOutputState& operator=(const DynamicOutputState&) = delete;

  /// The output created from this declaration.
  VANTOutput* Instance() const {
    if (m_output == nullptr) {
      DynamicModelCheck::Fail(312, "VANT::DynamicOutputModel::State::Instance",
                              "m_output != nullptr");
    }
    return m_output;
  }

  bool unused = false;
  std::string name;
  uint64_t type;
  VANTStackedString<40> typeName;
  /// name, 0, the declared type (name1 = typeName), buffer size, FIFO size, subsampling, 1.
  VANTOutputDefinition outputDefinition;
  VANTOutput* m_output = nullptr;
};

// ---- Models -------------------------------------------------------------------------------------

/// What differs between input and output models: their state and the names of their checks.
template <class Model>
struct DynamicModelTraits;

template <>
struct DynamicModelTraits<DynamicInputModel> {
  using State = DynamicInputState;
  static constexpr const char* kSetUnused =
      "VANT::DynamicModelBase<struct VANT::DynamicInputModel>::setUnused";
  static constexpr const char* kIsUnused =
      "VANT::DynamicModelBase<struct VANT::DynamicInputModel>::isUnused";
  static constexpr const char* kInstance =
      "VANT::DynamicModelBase<struct VANT::DynamicInputModel>::Instance";
  static constexpr const char* kTypeName =
      "VANT::DynamicModelBase<struct VANT::DynamicInputModel>::TypeName";
  static constexpr const char* kShortName =
      "VANT::DynamicModelBase<struct VANT::DynamicInputModel>::ShortName";
};

template <>
struct DynamicModelTraits<DynamicOutputModel> {
  using State = DynamicOutputState;
  static constexpr const char* kSetUnused =
      "VANT::DynamicModelBase<struct VANT::DynamicOutputModel>::setUnused";
  static constexpr const char* kIsUnused =
      "VANT::DynamicModelBase<struct VANT::DynamicOutputModel>::isUnused";
  static constexpr const char* kInstance =
      "VANT::DynamicModelBase<struct VANT::DynamicOutputModel>::Instance";
  static constexpr const char* kTypeName =
      "VANT::DynamicModelBase<struct VANT::DynamicOutputModel>::TypeName";
  static constexpr const char* kShortName =
      "VANT::DynamicModelBase<struct VANT::DynamicOutputModel>::ShortName";
};

/// One model: the state of its last declaration (null until the first one).
template <class Model>
struct DynamicModelBase {
  using Traits = DynamicModelTraits<Model>;
  using State = typename Traits::State;

  bool IsValid() const noexcept { return m_state != nullptr; }

  void setUnused(bool unused) {
    Check(149, Traits::kSetUnused);
    m_state->unused = unused;
  }
  bool isUnused() const {
    Check(158, Traits::kIsUnused);
    return m_state->unused;
  }
  /// The element created from the last declaration.
  auto Instance() const {
    Check(170, Traits::kInstance);
    return m_state->Instance();
  }
  VANTStackedString<40> TypeName() const {
    Check(187, Traits::kTypeName);
    return m_state->typeName;
  }
  std::string ShortName() const {
    Check(193, Traits::kShortName);
    return m_state->name;
  }

  std::unique_ptr<State> m_state;

protected:
  void Check(int32_t line, const char* function) const {
    if (!IsValid()) {
      DynamicModelCheck::Fail(line, function, "IsValid()");
    }
  }
};

struct DynamicInputModel : DynamicModelBase<DynamicInputModel> {
  VANTInput* Input() const {
    if (!IsValid()) {
      DynamicModelCheck::Fail(274, "VANT::DynamicInputModel::Input", "IsValid()");
    }
    return m_state->Instance();
  }
};

struct DynamicOutputModel : DynamicModelBase<DynamicOutputModel> {
  VANTOutput* Output() const {
    if (!IsValid()) {
      DynamicModelCheck::Fail(351, "VANT::DynamicOutputModel::Output", "IsValid()");
    }
    return m_state->Instance();
  }
};

// ---- Sets ---------------------------------------------------------------------------------------

template <class Set>
struct DynamicModelSetTraits;

template <>
struct DynamicModelSetTraits<DynamicInputModelSet> {
  using ModelType = DynamicInputModel;
  static constexpr const char* kModel =
      "VANT::DynamicModelSetBase<struct VANT::DynamicInputModelSet>::Model";
};

template <>
struct DynamicModelSetTraits<DynamicOutputModelSet> {
  using ModelType = DynamicOutputModel;
  static constexpr const char* kModel =
      "VANT::DynamicModelSetBase<struct VANT::DynamicOutputModelSet>::Model";
};

/// The models of one kind, used ones first. Models are found by their short name; a model that
/// has no state yet (its first declaration failed) has no name and is never found.
template <class Set>
struct DynamicModelSetBase {
  using ModelType = typename DynamicModelSetTraits<Set>::ModelType;

  /// The model of that name; a new model without state, appended, when there is none.
  ModelType& FindOrCreate(const char* name) {
    if (ModelType* model = Find(name)) {
      return *model;
    }
    return m_models.emplace_back();
  }

  /// The model of that name; a failed check (reported, VANT::ErrorException) when there is none.
  ModelType& Model(const char* name) {
    auto it = std::find_if(m_models.begin(), m_models.end(),
                           [name](const ModelType& model) { return Named(model, name); });
    if (it == m_models.end()) {
      DynamicModelCheck::Fail(418, DynamicModelSetTraits<Set>::kModel, "it != m_models.end()");
    }
    return *it;
  }

  /// First step of every Dynamic(): drops the models left unused by the previous call (and those
  /// without state), keeping the order of the rest, then marks every remaining model unused.
  void RemoveUnusedThenMark() {
    m_models.erase(
        std::remove_if(m_models.begin(), m_models.end(),
                       [](const ModelType& model) { return !model.IsValid() || model.isUnused(); }),
        m_models.end());
    for (ModelType& model : m_models) {
      model.setUnused(true);
    }
  }

  /// Used models first, unused ones (and those without state) after, each group in its order.
  void PartitionUsedFirst() {
    std::stable_partition(m_models.begin(), m_models.end(), [](const ModelType& model) {
      return model.IsValid() && !model.isUnused();
    });
  }

  std::deque<ModelType> m_models;

protected:
  static bool Named(const ModelType& model, const char* name) {
    return model.IsValid() && model.m_state->name == (name != nullptr ? name : "");
  }
  ModelType* Find(const char* name) {
    for (ModelType& model : m_models) {
      if (Named(model, name)) {
        return &model;
      }
    }
    return nullptr;
  }
};

struct DynamicInputModelSet : DynamicModelSetBase<DynamicInputModelSet> {
  /// Declares model's input: when the model has no state or its type word, type name or reader
  /// type differ, a new state is built and the component creates the input from its definition
  /// (component.NewInput(definition, nullptr)); the old state goes. In every case the model is
  /// marked used. Returns the input. An exception of the creation leaves the model as it was.
  template <class Component>
  VANTInput* Declare(DynamicInputModel& model, Component& component, const char* name,
                     uint64_t type, const char* typeName, uint32_t readerType) {
    const bool isNew = !model.IsValid() || model.m_state->type != type ||
                       !(model.TypeName() == (typeName != nullptr ? typeName : "")) ||
                       model.m_state->ReaderType() != readerType;
    if (isNew) {
      auto state = std::make_unique<DynamicInputState>(name, type, typeName, readerType);
      state->m_input = component.NewInput(state->inputDefinition, nullptr);
      model.m_state = std::move(state);
    } else {
      // Declared again unchanged: the creation finds the same input (same definition) and keeps
      // it. Without this call the end of Dynamic would remove the input as not declared again,
      // and the model would keep a dangling handle.
      model.m_state->m_input = component.NewInput(model.m_state->inputDefinition, nullptr);
    }
    model.setUnused(false);
    return model.Input();
  }

  /// The whole declaration of one input in Dynamic(): find or create its model, declare it, put
  /// the used models first, and return the model's input.
  template <class Component>
  VANTInput* DeclareInput(Component& component, const char* name, uint64_t type,
                          const char* typeName, uint32_t readerType) {
    Declare(FindOrCreate(name), component, name, type, typeName, readerType);
    PartitionUsedFirst();
    return Model(name).Instance();
  }
};

struct DynamicOutputModelSet : DynamicModelSetBase<DynamicOutputModelSet> {
  /// Declares model's output as Declare does for inputs; a declaration is new when the type word,
  /// the type name, the buffer size, the FIFO size or the subsampling differ. The component
  /// creates the output with component.NewOutput(definition, nullptr).
  template <class Component>
  VANTOutput* Declare(DynamicOutputModel& model, Component& component, const char* name,
                      uint64_t type, const char* typeName, int32_t defaultBufferSize = 1,
                      int32_t fifoSize = 16, int32_t subsampling = 1) {
    bool isNew = !model.IsValid();
    if (!isNew) {
      const VANTOutputDefinition& old = model.m_state->outputDefinition;
      isNew = model.m_state->type != type ||
              !(model.TypeName() == (typeName != nullptr ? typeName : "")) ||
              old.defaultBufferSize != defaultBufferSize || old.fifoSize != fifoSize ||
              old.subsampling != subsampling;
    }
    if (isNew) {
      auto state = std::make_unique<DynamicOutputState>(name, type, typeName, defaultBufferSize,
                                                        fifoSize, subsampling);
      state->m_output = component.NewOutput(state->outputDefinition, nullptr);
      model.m_state = std::move(state);
    } else {
      // Declared again unchanged: kept by the creation's reuse rule (see the input models).
      model.m_state->m_output = component.NewOutput(model.m_state->outputDefinition, nullptr);
    }
    model.setUnused(false);
    return model.Output();
  }

  template <class Component>
  VANTOutput* DeclareOutput(Component& component, const char* name, uint64_t type,
                            const char* typeName, int32_t defaultBufferSize = 1,
                            int32_t fifoSize = 16, int32_t subsampling = 1) {
    Declare(FindOrCreate(name), component, name, type, typeName, defaultBufferSize, fifoSize,
            subsampling);
    PartitionUsedFirst();
    return Model(name).Instance();
  }
};

} // namespace VANT
