#include "runtime/vant_action.h"

#include "dataflow/vant_input.h"
#include "dataflow/vant_output.h"
#include "kernel/vant_kernel.h"
#include "runtime/vant_component.h"
#include "runtime/vant_module.h"
#include "runtime/vant_report.h"
#include "util/vant_exceptions.h"

#include <cstring>
#include <string>
#include <vector>

// ---- VANTActionImplementation
// --------------------------------------------------------------------

VANTActionImplementation::VANTActionImplementation(VANTModule* owner,
                                                   const VANTActionDefinition& definition,
                                                   const char* fullName, const char* shortName)
    : m_fullName(fullName), m_shortName(shortName), m_definitionName(definition.name),
      m_callbacks(definition.callbacks != nullptr ? *definition.callbacks
                                                  : VANTActionCallbacks{nullptr, nullptr}),
      m_allowedWhenDead(definition.allowedWhenDead), m_module(owner) {}

VANTActionImplementation::~VANTActionImplementation() = default;

void VANTActionImplementation::Trigger(intptr_t argument) {
  if (m_allowedWhenDead != 1 && (m_module->State() & VANTModule::kDead) != 0) {
    m_module->Report("This action is not allowed when the component is not running.",
                     VANT::kWarning, 0);
    return;
  }
  if (m_callbacks.withArgument != nullptr) {
    m_callbacks.withArgument(m_module, m_index, argument);
  } else if (m_callbacks.plain != nullptr) {
    m_callbacks.plain(m_module, m_index);
  }
}

void VANTActionImplementation::Rename(const char* oldName, const char* newName) {
  VANT::RenameModulePart(m_fullName, oldName, newName);
}

// ---- Rename after upstream component
// -------------------------------------------------------------

namespace {

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t begin = 0;
  for (;;) {
    const std::size_t end = text.find(separator, begin);
    parts.push_back(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    if (end == std::string::npos) {
      return parts;
    }
    begin = end + 1;
  }
}

// The new name from the parts of the upstream output's name: the non-empty parts in order, joined
// by "_", except that a name of a macro-component ("@" first) keeps "::" after its first part.
std::string JoinParts(const std::vector<std::string>& parts, bool macro) {
  std::string name;
  int32_t taken = 0;
  for (const std::string& part : parts) {
    if (part.empty()) {
      continue;
    }
    if (taken == 1 && macro) {
      name += "::";
    } else if (taken > 0) {
      name += "_";
    }
    name += part;
    ++taken;
  }
  return name;
}

void RenameAfterUpstream(VANTComponent& component, VANTHostKernel& kernel) {
  if ((kernel.EngineState() & 1U) != 0) {
    component.Report("This action is not allowed when Corvex is running.", VANT::kError, 0);
    return;
  }
  const std::string ownName = component.Name();
  std::string base;
  {
    VANTCountedLocker lock(component.StructureLock());
    VANTListItem<VANTInput*>* first = component.Inputs().Head();
    if (first == nullptr) {
      lock.Release();
      component.Report("This action scans what is connected to this component's first input, but "
                       "this component does not seem to have any inputs.",
                       VANT::kError, 0);
      return;
    }
    VANTOutput* source = first->Value()->Source();
    if (source == nullptr) {
      lock.Release();
      component.Report(
          ownName.starts_with("@")
              ? "This action scans what is connected to this component's first input. Please "
                "connect it in order to rename after upstream component. Note however that you "
                "cannot rename after a macro-component input."
              : "This action scans what is connected to this component's first input. Please "
                "connect it in order to rename after upstream component.",
          VANT::kError, 0);
      return;
    }
    base = source->Name().Text();
  }
  for (char& c : base) {
    if (c == '.') {
      c = '_';
    }
  }
  const std::vector<std::string> parts = Split(base, ':');
  const std::vector<std::string> segments = Split(ownName, ':');
  if (segments.front().starts_with("@") || segments.size() == 1) {
    if (segments.size() != parts.size()) {
      component.Report("Cannot access macro-component output name: renaming after native "
                       "component & output inside.",
                       VANT::kWarning, 0);
    }
  } else {
    component.Report("Renaming a component inside a Macro-Component *instance* is forbidden. You "
                     "may however rename a component in the Macro-Component *model*: Right-click "
                     "on the macro-component and select Edit Macro-Component.",
                     VANT::kError, 0);
    return;
  }

  const std::string name = JoinParts(parts, base.starts_with("@"));
  for (int32_t k = 0; k <= VANT::kRenameCandidates; ++k) {
    const std::string candidate = k == 0 ? name : name + "_" + std::to_string(k);
    VANTModule* holder = kernel.ModuleByName(candidate.c_str());
    if (holder == &component) {
      component.Report("Component is already named after its upstream component's output.",
                       VANT::kWarning, 0);
      return;
    }
    if (holder != nullptr || kernel.NameTaken(candidate.c_str())) {
      continue;
    }
    if (!kernel.Rename(ownName.c_str(), candidate.c_str())) {
      const std::string text =
          "Unable to rename component after upstream component: suitable name found ('" +
          candidate + "') but renaming failed.";
      component.Report(text.c_str(), VANT::kError, 0);
    }
    return;
  }
  component.Report("Could not find an available name for component. You may change the upstream "
                   "component name and try again.",
                   VANT::kError, 0);
}

} // namespace

namespace VANT {

void RenameAfterUpstreamComponent(VANTModule* module, int32_t /*index*/) noexcept {
  try {
    auto* component = dynamic_cast<VANTComponent*>(module);
    VANTHostKernel* kernel = Kernel();
    if (component == nullptr || kernel == nullptr) {
      throw ErrorException;
    }
    RenameAfterUpstream(*component, *kernel);
  } catch (...) {
    ExternalError("Internal error while renaming after upstream component.");
  }
}

} // namespace VANT
