#pragma once
// Package files and the component models they declare. Loading a package file reads its
// information block, checks that it was built for this engine and platform, that the block is
// sound and that its signature is that of the library's code, loads the library, initialises it
// with the engine's kernel and collects its component model definition records.
// Records of packages linked into the program itself are added through their query function.
//
// Before a model's first instance is created the record's count fields hold the real number of
// entries of each definition table (the package stores "not counted").
//
// Thread: any thread; a mutex guards the lists. Package libraries stay loaded until the process
// ends, also after the object is destroyed.

#include "kernel/vant_host_kernel.h"
#include "packaging/vant_package_info.h"
#include "runtime/vant_model_definition.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

/// VANTGetModulesDefStruct of a package.
using HostModelsQuery = int32_t (*)(const char* groupName, void** out, int32_t maxCount);
/// VANTPckInit of a package.
using HostPackageInit = int32_t (*)(VANTHostKernel* kernel, int32_t version);

class HostPackages {
public:
  static constexpr int32_t kInterfaceVersion = 0x804A8;
  static constexpr int32_t kInterfaceLevel = 4;

  HostPackages() = default;
  ~HostPackages();
  HostPackages(const HostPackages&) = delete;
  HostPackages& operator=(const HostPackages&) = delete;

  /// Loads a package file for kernel. A relative path is taken from the current folder, never
  /// looked for along the loader's search path. False with a message in error when the file is no
  /// package for linux/x86_64/corvex, its information block is damaged (VANT::CheckPackageEntries),
  /// its SIG is not the digest of its library image, it cannot be loaded, lacks an entry point,
  /// refuses the kernel, or declares a model that is already known. Nothing of a refused file
  /// is loaded before those checks pass.
  /// modelCount, when given, receives the number of models the package registers.
  bool Load(const std::string& path, VANTHostKernel* kernel, std::string& error,
            int32_t* modelCount = nullptr);
  /// Adds the records that query hands out; false with a message on a duplicate model name.
  bool AddModels(HostModelsQuery query, std::string& error);

  /// The record of that model name, counts filled in, or null.
  VANTComponentModelDefinition* Model(const char* modelName);
  std::vector<VANTComponentModelDefinition*> Models();
  /// The information block of every package file loaded, in load order.
  std::vector<VANT::PackageInfo> LoadedInfo();

  /// What a model record declares, for people: its name and version, then one line per input
  /// (with the types it accepts), output (with its type and FIFO size) and property (with its
  /// default value), in table order. The counts must be filled in.
  static std::string DescribeModel(const VANTComponentModelDefinition& record);

  /// Replaces the "not counted" marks of a record by the number of entries before each table's
  /// null name.
  static void FillCounts(VANTComponentModelDefinition* record) noexcept;

private:
  struct Loaded {
    std::string path;
    void* handle = nullptr;
    VANT::PackageInfo info;
  };

  bool AddModelsLocked(HostModelsQuery query, std::string& error);

  std::mutex m_mutex;
  std::vector<Loaded> m_loaded;
  std::vector<VANTComponentModelDefinition*> m_models;
};
