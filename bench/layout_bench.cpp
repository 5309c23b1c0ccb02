// Built and run by image_bench.sh.
// Layout and metadata of a compilation as large as the application allows
// (600,000 entries in 20,000 directories), without touching the disk:
// entries are created directly in the tree. Prints the time of each phase.
//
//   layout_bench [files] [dirs]
#include "image/compilation.h"
#include "image/iso_names.h"
#include "image/zbISOLib.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace velloran::image;
using Clock = std::chrono::steady_clock;

static double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

int main(int argc, char** argv) {
  const int files = argc > 1 ? std::atoi(argv[1]) : 580000;
  const int dirs = argc > 2 ? std::atoi(argv[2]) : 20000;
  Compilation c;
  c.ResetCompilation(files + dirs + 1, dirs + 1);
  auto t = Clock::now();
  std::vector<TDEntry*> all{c.Root()};
  for (int i = 0; i < dirs; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "folder %05d", (i * 7919) % dirs);
    // Two levels: 100 top folders, the rest spread below them.
    TDEntry* parent = i < 100 ? c.Root() : all[1 + i % 100];
    all.push_back(c.CreateDir(parent, name, 16));
  }
  velloran::platform::TSearchRec rec;
  rec.Attr = 32;
  rec.Time = 1700000000;
  for (int i = 0; i < files; ++i) {
    rec.Name = "file number " + std::to_string(i) + ".dat";
    rec.Size = i % 5 == 0 ? 0 : 1000 + i % 7000;
    c.AddFileEntry(all[1 + i % dirs], "/nonexistent", rec, 0);
  }
  std::printf("tree:      %7.3f s  (%d files, %d directories)\n", Since(t), c.FileCount(), c.DirCount());
  t = Clock::now();
  ResolveNames(c);
  std::printf("names:     %7.3f s\n", Since(t));
  t = Clock::now();
  OrderIsoPathTable(c);
  OrderJolietPathTable(c);
  std::printf("ordering:  %7.3f s\n", Since(t));
  t = Clock::now();
  const TLayout L = BuildLayout(c, TLayoutOptions{});
  std::printf("layout:    %7.3f s\n", Since(t));
  t = Clock::now();
  std::vector<std::uint8_t> meta;
  BuildMetadata(c, L, TVolumeInfo{}, meta);
  std::printf("metadata:  %7.3f s  (%zu MiB)\n", Since(t), meta.size() >> 20);
  return 0;
}
