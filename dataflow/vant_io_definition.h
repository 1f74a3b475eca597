#pragma once
// The input and output definition entries of a component model's definition tables: what an input
// or an output is made from. The engine reads them directly out of the package's data, so their
// layout is a binary interface (little-endian, 64-bit pointers), pinned below at compile time.
// Each table ends with an entry whose name is null. Nothing here owns memory.

#include "dataflow/vant_data_type.h" // VANTDataTypeDef, VANTDataTypeFilter

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>

static_assert(std::endian::native == std::endian::little, "the engine interface is little-endian");
static_assert(sizeof(void*) == 8, "the engine interface uses 64-bit pointers");

/// One entry of an input definition table. The whole entry is copied into the input.
struct VANTInputDefinition {
  const char* name;                 // short name; null ends the table
  uint32_t reservedA;               // copied, never interpreted (0 in this package)
  uint32_t padding0;                //
  const VANTDataTypeFilter* filter; // the types this input accepts
  int32_t readerType;               // reader kind of the input
  uint32_t reservedB;               // copied, never interpreted (1 in this package)
};

/// One entry of an output definition table.
struct VANTOutputDefinition {
  const char* name;          // short name; null ends the table
  uint32_t reservedA;        // copied, never interpreted (0 in this package)
  uint32_t padding0;         //
  VANTDataTypeDef type;      // the output's data type
  int32_t defaultBufferSize; // not 1 (with a non-negative type word): samples are vectors
  int32_t fifoSize;          // number of elements of the output's FIFO
  int32_t subsampling;       // publish rate of the FIFO
  uint32_t reservedB;        // copied, never interpreted (1 in this package)
};

// The binary layout the engine relies on.
// The data type an output definition carries (VANTDataTypeDef, dataflow/vant_data_type.h).
static_assert(std::is_standard_layout_v<VANTDataTypeDef> && sizeof(VANTDataTypeDef) == 24);
static_assert(offsetof(VANTDataTypeDef, flags) == 0 && offsetof(VANTDataTypeDef, name1) == 8 &&
              offsetof(VANTDataTypeDef, name2) == 16);

static_assert(std::is_standard_layout_v<VANTInputDefinition> && sizeof(VANTInputDefinition) == 32);
static_assert(offsetof(VANTInputDefinition, name) == 0);
static_assert(offsetof(VANTInputDefinition, reservedA) == 8);
static_assert(offsetof(VANTInputDefinition, filter) == 16);
static_assert(offsetof(VANTInputDefinition, readerType) == 24);
static_assert(offsetof(VANTInputDefinition, reservedB) == 28);

static_assert(std::is_standard_layout_v<VANTOutputDefinition> &&
              sizeof(VANTOutputDefinition) == 56);
static_assert(offsetof(VANTOutputDefinition, name) == 0);
static_assert(offsetof(VANTOutputDefinition, reservedA) == 8);
static_assert(offsetof(VANTOutputDefinition, type) == 16);
static_assert(offsetof(VANTOutputDefinition, type.name1) == 24);
static_assert(offsetof(VANTOutputDefinition, type.name2) == 32);
static_assert(offsetof(VANTOutputDefinition, defaultBufferSize) == 40);
static_assert(offsetof(VANTOutputDefinition, fifoSize) == 44);
static_assert(offsetof(VANTOutputDefinition, subsampling) == 48);
static_assert(offsetof(VANTOutputDefinition, reservedB) == 52);
