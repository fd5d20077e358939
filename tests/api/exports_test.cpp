// SPDX-License-Identifier: MIT
// The built library's dynamic symbol table, read straight from the ELF file.
#include "tests/support/exports.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "vantorpi.h"

#ifndef VANTORPI_LIBRARY_FILE
#error "VANTORPI_LIBRARY_FILE must name the built library"
#endif

namespace {

struct DynSymbol {
  std::string name;
  unsigned char type;
};

// Defined symbols of the .dynsym section of a 64-bit ELF file.
std::vector<DynSymbol> defineddynamicsymbols(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<DynSymbol> out;
  if (image.size() < sizeof(Elf64_Ehdr)) return out;
  const auto* eh = reinterpret_cast<const Elf64_Ehdr*>(image.data());
  if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_ident[EI_CLASS] != ELFCLASS64) return out;
  if (eh->e_shoff + static_cast<size_t>(eh->e_shnum) * sizeof(Elf64_Shdr) > image.size()) return out;
  const auto* sh = reinterpret_cast<const Elf64_Shdr*>(image.data() + eh->e_shoff);
  for (int i = 0; i < eh->e_shnum; ++i) {
    if (sh[i].sh_type != SHT_DYNSYM) continue;
    const Elf64_Shdr& strtab = sh[sh[i].sh_link];
    const auto* sym = reinterpret_cast<const Elf64_Sym*>(image.data() + sh[i].sh_offset);
    const size_t n = sh[i].sh_size / sizeof(Elf64_Sym);
    for (size_t k = 1; k < n; ++k) {
      if (sym[k].st_shndx == SHN_UNDEF) continue;
      out.push_back({image.data() + strtab.sh_offset + sym[k].st_name,
                     static_cast<unsigned char>(ELF64_ST_TYPE(sym[k].st_info))});
    }
  }
  return out;
}

#define VTEST_EXPORT_NAME(name) #name,
const char* const kExports[] = {VANTORPI_EXPORTS(VTEST_EXPORT_NAME)};
#undef VTEST_EXPORT_NAME

}  // namespace

TEST(Exports, OnlyTheSeventyFourFunctions) {
  const std::vector<DynSymbol> syms = defineddynamicsymbols(VANTORPI_LIBRARY_FILE);
  ASSERT_FALSE(syms.empty()) << "no dynamic symbols read from " << VANTORPI_LIBRARY_FILE;

  const std::set<std::string> linkermarks = {"_init", "_fini", "_edata", "_end", "__bss_start"};
  std::set<std::string> functions;
  for (const DynSymbol& s : syms) {
    if (s.name.empty() || linkermarks.count(s.name)) continue;
    EXPECT_EQ(s.name.rfind("ls_", 0), 0u) << "exported: " << s.name;
    if (s.name.rfind("ls_", 0) == 0) {
      EXPECT_EQ(s.type, STT_FUNC) << s.name;
      functions.insert(s.name);
    }
  }
  EXPECT_EQ(std::size(kExports), 74u);
  EXPECT_EQ(functions.size(), 74u);
  for (const char* name : kExports) EXPECT_EQ(functions.count(name), 1u) << "missing: " << name;
}

// The power-security code is published in the header but assembled at run
// time inside the library: its 32-bit value must not stand in the binary.
TEST(Exports, PowerSecurityCodeIsNotOneConstantInTheBinary) {
  std::ifstream in(VANTORPI_LIBRARY_FILE, std::ios::binary);
  const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(image.empty());
  const unsigned int code = LS_POWER_SECURITY_CODE;
  const char word[4] = {static_cast<char>(code & 0xFF), static_cast<char>(code >> 8 & 0xFF),
                        static_cast<char>(code >> 16 & 0xFF), static_cast<char>(code >> 24)};
  EXPECT_EQ(image.find(std::string(word, 4)), std::string::npos);
}
