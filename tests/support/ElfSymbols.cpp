#include "ElfSymbols.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <elf.h>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace kivtest {
namespace {

// A little reader that hides the ELF class and byte order.
class ElfFile {
public:
  explicit ElfFile(const std::string& path) : path_(path) {
    std::ifstream in(path, std::ios::binary);
    bytes_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (bytes_.size() < EI_NIDENT || std::memcmp(bytes_.data(), ELFMAG, SELFMAG) != 0) {
      throw std::runtime_error(path + " is not an ELF file");
    }
    is64_ = bytes_[EI_CLASS] == ELFCLASS64;
    bigEndian_ = bytes_[EI_DATA] == ELFDATA2MSB;
  }

  uint64_t Read(uint64_t offset, unsigned width) const {
    if (offset + width > bytes_.size()) throw std::runtime_error(path_ + ": truncated ELF file");
    uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i) {
      unsigned shift = bigEndian_ ? 8 * (width - 1 - i) : 8 * i;
      value |= static_cast<uint64_t>(static_cast<unsigned char>(bytes_[offset + i])) << shift;
    }
    return value;
  }
  uint64_t Word(uint64_t offset) const { return Read(offset, is64_ ? 8 : 4); }
  std::string String(uint64_t offset) const {
    if (offset >= bytes_.size()) throw std::runtime_error(path_ + ": bad string offset");
    return std::string(bytes_.data() + offset);
  }
  bool is64() const { return is64_; }

  struct Section {
    uint32_t type;
    uint64_t offset, size, entsize;
    uint32_t link;
  };
  std::vector<Section> Sections() const {
    uint64_t shoff = is64_ ? Read(0x28, 8) : Read(0x20, 4);
    unsigned shentsize = static_cast<unsigned>(Read(is64_ ? 0x3A : 0x2E, 2));
    unsigned shnum = static_cast<unsigned>(Read(is64_ ? 0x3C : 0x30, 2));
    std::vector<Section> sections;
    for (unsigned i = 0; i < shnum; ++i) {
      uint64_t base = shoff + static_cast<uint64_t>(i) * shentsize;
      Section s{};
      s.type = static_cast<uint32_t>(Read(base + 4, 4));
      s.offset = is64_ ? Read(base + 0x18, 8) : Read(base + 0x10, 4);
      s.size = is64_ ? Read(base + 0x20, 8) : Read(base + 0x14, 4);
      s.link = static_cast<uint32_t>(is64_ ? Read(base + 0x28, 4) : Read(base + 0x18, 4));
      s.entsize = is64_ ? Read(base + 0x38, 8) : Read(base + 0x24, 4);
      sections.push_back(s);
    }
    return sections;
  }

private:
  std::string path_;
  std::vector<char> bytes_;
  bool is64_ = false;
  bool bigEndian_ = false;
};

struct DynamicSymbol {
  std::string name;
  bool defined;
  unsigned binding;
};

std::vector<DynamicSymbol> DynamicSymbols(const std::string& path) {
  ElfFile elf(path);
  auto sections = elf.Sections();
  std::vector<DynamicSymbol> symbols;
  for (const auto& s : sections) {
    if (s.type != SHT_DYNSYM || s.entsize == 0) continue;
    const auto& strtab = sections.at(s.link);
    for (uint64_t off = s.offset + s.entsize; off + s.entsize <= s.offset + s.size; off += s.entsize) {
      uint32_t nameOffset = static_cast<uint32_t>(elf.Read(off, 4));
      unsigned info = static_cast<unsigned>(elf.Read(off + (elf.is64() ? 4 : 12), 1));
      unsigned shndx = static_cast<unsigned>(elf.Read(off + (elf.is64() ? 6 : 14), 2));
      symbols.push_back({elf.String(strtab.offset + nameOffset), shndx != SHN_UNDEF, info >> 4});
    }
  }
  return symbols;
}

}  // namespace

std::set<std::string> ExportedSymbols(const std::string& path) {
  std::set<std::string> names;
  for (const auto& s : DynamicSymbols(path)) {
    if (s.defined && (s.binding == STB_GLOBAL || s.binding == STB_WEAK)) names.insert(s.name);
  }
  return names;
}

std::set<std::string> NeededLibraries(const std::string& path) {
  ElfFile elf(path);
  auto sections = elf.Sections();
  std::set<std::string> needed;
  for (const auto& s : sections) {
    if (s.type != SHT_DYNAMIC) continue;
    const auto& strtab = sections.at(s.link);
    unsigned entry = elf.is64() ? 16 : 8;
    for (uint64_t off = s.offset; off + entry <= s.offset + s.size; off += entry) {
      uint64_t tag = elf.Word(off);
      if (tag == DT_NULL) break;
      if (tag == DT_NEEDED) needed.insert(elf.String(strtab.offset + elf.Word(off + entry / 2)));
    }
  }
  return needed;
}

std::string Demangle(const std::string& symbol) {
  int status = 0;
  char* text = abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status);
  if (status != 0 || text == nullptr) return symbol;
  std::string result(text);
  std::free(text);
  return result;
}

}  // namespace kivtest
