// A hash index of the compilation's entries by (folder, name), holding only
// pointers: the names stay in the entries, never copied into the index.
// Compilations reach hundreds of thousands of entries, where a map of name
// strings per folder costs as much memory as the entries themselves.
//
// Open addressing with linear probing; each entry carries the hash it was
// filed under (TFEntry::NameHash or IsoHash), so it is found again and taken
// out by its address even after its name has changed. Several entries may
// share a key (a file and a folder of one name).
#pragma once

namespace velloran::image {
struct TDEntry;
struct TFEntry;
}  // namespace velloran::image

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace velloran::image {

class EntryIndex {
 public:
  explicit EntryIndex(std::uint32_t TFEntry::*hashField) : hashField_(hashField) {}

  static std::uint32_t Hash(const TDEntry* dir, std::string_view name);

  void Clear();
  // Files entry under hash (stored in the entry).
  void Insert(TFEntry* entry, std::uint32_t hash);
  // Files entries again under the hashes they carry, into an empty index.
  void Refile(const std::vector<std::unique_ptr<TFEntry>>& entries);
  // Takes entry out; nothing when it is not filed.
  void Erase(const TFEntry* entry);
  std::size_t Size() const { return count_; }

  // Calls visit for every entry filed under hash, in no particular order,
  // until visit returns true; returns that entry or nullptr.
  template <class Visit>
  TFEntry* Find(std::uint32_t hash, Visit visit) const {
    if (slots_.empty()) return nullptr;
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
      TFEntry* e = slots_[i];
      if (!e) return nullptr;
      if (e->*hashField_ == hash && visit(e)) return e;
    }
  }

 private:
  void Grow();
  void Place(TFEntry* entry);

  std::uint32_t TFEntry::*hashField_;
  std::vector<TFEntry*> slots_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
};

}  // namespace velloran::image
