#include "image/entry_index.h"

#include "image/compilation.h"

#include <functional>

namespace velloran::image {

std::uint32_t EntryIndex::Hash(const TDEntry* dir, std::string_view name) {
  std::uint64_t h = std::hash<std::string_view>{}(name);
  h ^= reinterpret_cast<std::uintptr_t>(dir) * 0x9E3779B97F4A7C15ull;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  return static_cast<std::uint32_t>(h);
}

void EntryIndex::Clear() {
  std::vector<TFEntry*>().swap(slots_);
  mask_ = 0;
  count_ = 0;
}

void EntryIndex::Grow() {
  std::vector<TFEntry*> old;
  old.swap(slots_);
  slots_.assign(old.empty() ? 64 : old.size() * 2, nullptr);
  mask_ = slots_.size() - 1;
  for (TFEntry* e : old) {
    if (!e) continue;
    std::size_t i = (e->*hashField_) & mask_;
    while (slots_[i]) i = (i + 1) & mask_;
    slots_[i] = e;
  }
}

void EntryIndex::Insert(TFEntry* entry, std::uint32_t hash) {
  // At most three quarters full, so that probes stay short.
  if ((count_ + 1) * 4 > slots_.size() * 3) Grow();
  entry->*hashField_ = hash;
  Place(entry);
}

void EntryIndex::Place(TFEntry* entry) {
  std::size_t i = (entry->*hashField_) & mask_;
  while (slots_[i]) i = (i + 1) & mask_;
  slots_[i] = entry;
  ++count_;
}

void EntryIndex::Refile(const std::vector<std::unique_ptr<TFEntry>>& entries) {
  Clear();
  std::size_t size = 64;
  while (entries.size() * 4 > size * 3) size *= 2;
  slots_.assign(size, nullptr);
  mask_ = size - 1;
  for (const auto& e : entries) Place(e.get());
}

void EntryIndex::Erase(const TFEntry* entry) {
  if (slots_.empty()) return;
  std::size_t i = (entry->*hashField_) & mask_;
  while (slots_[i] != entry) {
    if (!slots_[i]) return;
    i = (i + 1) & mask_;
  }
  slots_[i] = nullptr;
  --count_;
  // Moves back the entries of the run after the hole that may no longer be
  // reached past it (backward shift deletion).
  for (std::size_t j = (i + 1) & mask_; slots_[j]; j = (j + 1) & mask_) {
    const std::size_t home = (slots_[j]->*hashField_) & mask_;
    // The entry at j stays when its home lies cyclically in (i, j].
    const bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (stays) continue;
    slots_[i] = slots_[j];
    slots_[j] = nullptr;
    i = j;
  }
}

}  // namespace velloran::image
