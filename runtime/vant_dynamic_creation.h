#pragma once
// Creation, lookup and removal of a module's inputs, outputs, properties and actions. The
// operations themselves are members of VANTModule and VANTComponent (NewInput, NewOutput,
// NewProperty, NewSubProperty, NewAction, the model forms, Input/Output/Property/Action, the
// Has... tests and Remove...); they are defined in vant_dynamic_creation.cpp.
//
// Creation: under the module's structure lock, refused with VANT::StopException (0xDEAD, no
//   report) while the module is dying. The name is checked, the full name is module name + "." +
//   short name, the element is found again or created (reuse rule below), registered with the
//   engine (kernel slots 24 to 27; a refused name removes the element and raises "Can't create
//   <kind> <full name>. The symbol already exists."), and its full name joins the module's
//   symbol-name list. A new input gets the sub-properties "<name>.subsampling" and
//   "<name>.readerType", a new output "<name>.subsampling", "<name>.fifosize" and
//   "<name>.periodic"; they count as built-in properties, so that the start check skips them, and
//   stay right after the other built-in properties, ahead of the properties a model declares.
//   Inputs and outputs are then announced to the engine (slot 33; slot 32 for a component's
//   outputs, 29 for a plain module's) with their position in their list.
//
// Reuse rule: outside Dynamic every creation makes a new element at the end of its list. While
//   Dynamic runs, each kind has a cursor on the first element that has not been declared again
//   yet (null: the end of the list). A declaration searches from the cursor to the end for an
//   element of the same full name:
//   - none: a new element goes just before the cursor;
//   - found: the elements between the cursor and it were not declared again and are removed; the
//     found element is reused when it was made from the same definition (the same definition name
//     pointer), else it is replaced in place by a new one; the cursor moves past it.
//   What remains from a cursor to the end of its list when Dynamic returns was not declared again
//   and is removed, so the elements keep the order of their declarations.
//
// Removal: kernel slot 0 "Removing an input" (or "... an output"), a connected input is
//   disconnected (slot 73), its sub-properties go, its names leave the engine (slot 21, then slot
//   30 or 31) and the symbol-name list, it is destroyed, and slot 1 closes the change. Properties
//   and actions only drop their name (slot 21) and leave the symbol-name list.
//
// Thread: any thread; the structure lock serialises creation, lookup and removal. Dynamic runs
//   them under the component's start lock as well.

#include <cstdint>

namespace VANT {

/// The name rule of new inputs, outputs, properties and actions: "^[a-zA-Z][a-zA-Z_0-9]*$", or
/// "^[a-zA-Z][a-zA-Z_0-9\.:]*$" for the outputs of plain modules (moduleOutput). A trailing line
/// feed, which the pattern's "$" would let through, is refused too. Null is refused.
bool IsValidElementName(const char* name, bool moduleOutput = false);

} // namespace VANT
