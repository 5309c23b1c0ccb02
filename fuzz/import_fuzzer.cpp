// Feeds arbitrary bytes to the previous-session importer, and to the reader
// of both trees that verification walks, as if they were a disc.
//
// Input: byte 0 chooses the way in (bit 0: Joliet names, bit 1: through the
// volume descriptors from block 0 instead of a directory at block 0, bit 2:
// Rock Ridge read where the session has it),
// bytes 1-4 the size of that directory (little-endian), and the rest are
// the disc's sectors, 2048 bytes each (the last one padded with zeros).
// Block n of the disc is sector n modulo their number, so a small input
// still holds the descriptors at block 16 and directories anywhere, and
// any extent, however wild, lands on some sector.
#include "image/disc_tree.h"
#include "image/session_import.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace velloran::image;
  if (size < 5) return 0;
  const std::uint8_t mode = data[0];
  std::uint32_t rootSize = 0;
  std::memcpy(&rootSize, data + 1, 4);
  const std::uint8_t* disc = data + 5;
  const std::size_t discBytes = size - 5;
  const std::size_t sectors = (discBytes + kSectorSize - 1) / kSectorSize;
  if (sectors == 0) return 0;

  // The parser alone, on the first sector.
  std::vector<std::uint8_t> first(kSectorSize, 0);
  std::memcpy(first.data(), disc, std::min<std::size_t>(discBytes, kSectorSize));
  std::vector<TDirRecord> records;
  ParseDirectorySector(first, records);
  for (const TDirRecord& r : records) {
    const std::size_t at = 33 + r.Identifier.size() + (r.Identifier.size() % 2 == 0 ? 1 : 0);
    if (at < r.Length) {
      rr::TAttributes a;
      rr::TContinuation next;
      rr::ParseArea(std::span<const std::uint8_t>(first.data() + r.Offset + at, r.Length - at), a, next);
    }
    bool changed = false;
    (void)RecordName(r.Identifier, (mode & 1) != 0, changed);
    std::time_t t = 0;
    (void)RecordTime(r.Date, t);
  }

  auto read = [&](std::uint32_t lba, std::uint8_t* out) {
    const std::size_t index = lba % sectors;
    const std::size_t offset = index * kSectorSize;
    const std::size_t n = std::min<std::size_t>(kSectorSize, discBytes - offset);
    std::memcpy(out, disc + offset, n);
    std::memset(out + n, 0, kSectorSize - n);
    return (lba & 0xFFFF) != 0xDEAD;  // now and then a sector that cannot be read
  };
  Compilation tree;
  tree.ResetCompilation(4096, 1024);
  TImportLimits limits;
  limits.MaxTotalSectors = 4096;
  TSessionImporter importer(tree, read, [](const std::string&, std::uint8_t) {}, limits);
  importer.RockRidge = (mode & 4) != 0;
  if (mode & 2)
    importer.ImportFrom(0, 1, nullptr);
  else if (mode & 1)
    importer.ImportJolietDir(0, rootSize, nullptr);
  else
    importer.ImportIsoDir(0, rootSize, nullptr);

  // The verifier's walk of both trees from the descriptors at block 16.
  TDiscTree iso, joliet;
  TDiscTreeLimits treeLimits;
  treeLimits.MaxTotalSectors = 4096;
  treeLimits.MaxEntries = 8192;
  ReadDiscTrees(read, 0, iso, joliet, treeLimits);
  for (const TDiscTree* t : {&iso, &joliet})
    for (const TDiscEntry& e : t->Entries)
      if (e.Path.empty() || e.Extents.empty() || e.Path.front() == '/') __builtin_trap();

  // Whatever was entered must form a sound tree.
  for (const auto& d : tree.Dirs()) {
    if (d.get() == tree.Root()) continue;
    if (d->JolietName.find('\\') != std::string::npos || d->JolietName.find('/') != std::string::npos) __builtin_trap();
    if (tree.FindDir(d->Path) != d.get()) __builtin_trap();
  }
  return 0;
}
