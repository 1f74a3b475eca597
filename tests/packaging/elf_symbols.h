#pragma once
// Reads what a shared library file exports and needs, straight from its ELF dynamic section, so
// that tests check the file itself rather than what a loader makes of it.

#include <cstring>
#include <elf.h>
#include <string>
#include <vector>

struct ElfDynamicInfo {
  bool valid = false;
  std::vector<std::string> exports; // defined global or weak dynamic symbols
  std::vector<std::string> needed;  // DT_NEEDED libraries
};

inline ElfDynamicInfo ReadElfDynamicInfo(const std::vector<uint8_t>& file) {
  ElfDynamicInfo info;
  auto fits = [&](uint64_t offset, uint64_t size) {
    return offset <= file.size() && size <= file.size() - offset;
  };
  if (!fits(0, sizeof(Elf64_Ehdr)) || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0 ||
      file[EI_CLASS] != ELFCLASS64) {
    return info;
  }
  Elf64_Ehdr header;
  std::memcpy(&header, file.data(), sizeof(header));
  if (header.e_shentsize != sizeof(Elf64_Shdr) ||
      !fits(header.e_shoff, uint64_t{header.e_shnum} * sizeof(Elf64_Shdr))) {
    return info;
  }
  std::vector<Elf64_Shdr> sections(header.e_shnum);
  std::memcpy(sections.data(), file.data() + header.e_shoff, sections.size() * sizeof(Elf64_Shdr));
  auto text = [&](const Elf64_Shdr& strings, uint64_t offset) -> std::string {
    if (offset >= strings.sh_size || !fits(strings.sh_offset, strings.sh_size)) {
      return {};
    }
    const char* start = reinterpret_cast<const char*>(file.data() + strings.sh_offset + offset);
    return std::string(start, strnlen(start, strings.sh_size - offset));
  };
  for (const Elf64_Shdr& section : sections) {
    if (section.sh_link >= sections.size() || !fits(section.sh_offset, section.sh_size)) {
      continue;
    }
    const Elf64_Shdr& strings = sections[section.sh_link];
    if (section.sh_type == SHT_DYNSYM) {
      for (uint64_t at = 0; at + sizeof(Elf64_Sym) <= section.sh_size; at += sizeof(Elf64_Sym)) {
        Elf64_Sym symbol;
        std::memcpy(&symbol, file.data() + section.sh_offset + at, sizeof(symbol));
        const unsigned bind = ELF64_ST_BIND(symbol.st_info);
        if (symbol.st_shndx != SHN_UNDEF &&
            (bind == STB_GLOBAL || bind == STB_WEAK || bind == STB_GNU_UNIQUE)) {
          info.exports.push_back(text(strings, symbol.st_name));
        }
      }
    } else if (section.sh_type == SHT_DYNAMIC) {
      for (uint64_t at = 0; at + sizeof(Elf64_Dyn) <= section.sh_size; at += sizeof(Elf64_Dyn)) {
        Elf64_Dyn entry;
        std::memcpy(&entry, file.data() + section.sh_offset + at, sizeof(entry));
        if (entry.d_tag == DT_NEEDED) {
          info.needed.push_back(text(strings, entry.d_un.d_val));
        }
      }
    }
  }
  info.valid = true;
  return info;
}
