// Saving an image and streaming a session block by block.
#include "image/image_stream.h"
#include "image/image_test_util.h"
#include "image/zbCDBC.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace velloran::image {
namespace {

using test::ScratchDir;
namespace fs = std::filesystem;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Saver {
  TZCDBurner b;
  std::vector<std::string> done;
  Saver() {
    b.OnWriteDone = [this](drive::TObject*, const std::string& e) { done.push_back(e); };
  }
};

TEST(SaveImage, FilesLandAtTheirExtents) {
  ScratchDir dir("save");
  Saver s;
  const std::string a(5000, 'a');
  const std::string c = "ccc";
  s.b.AddFile("\\", dir.File("a.bin", a), false);
  s.b.ForceDirs("\\sub");
  s.b.AddFile("\\sub", dir.File("c.txt", c), false);
  s.b.AddFile("\\", dir.File("empty", ""), false);
  const std::string out = (dir.path() / "out.iso").string();
  ASSERT_EQ(s.b.SaveImageFile(out, true), 1);
  ASSERT_EQ(s.done, (std::vector<std::string>{""}));
  const std::string img = ReadAll(out);
  const TLayout& L = s.b.Layout();
  ASSERT_EQ(img.size(), static_cast<std::size_t>(L.ImageSectors) * kSectorSize);
  EXPECT_EQ(L.ImageSectors, 150 + 3 + 1);
  EXPECT_EQ(img.compare(0, s.b.Metadata().size(), std::string(s.b.Metadata().begin(), s.b.Metadata().end())), 0);
  EXPECT_EQ(img.substr(150 * kSectorSize, a.size()), a);
  EXPECT_EQ(img.substr(150 * kSectorSize + a.size(), 3 * kSectorSize - a.size()), std::string(3 * kSectorSize - a.size(), '\0'));
  EXPECT_EQ(img.substr(153 * kSectorSize, 3), c);
  // Nothing but the image is left in the folder.
  int entries = 0;
  for (auto& e : fs::directory_iterator(dir.path())) entries += e.path().filename().string().find(".partial") != std::string::npos;
  EXPECT_EQ(entries, 0);
}

TEST(SaveImage, FailuresLeaveNoPartialImage) {
  ScratchDir dir("savefail");
  struct Case {
    const char* what;
    std::function<void(const std::string& src)> spoil;
    const char* messageStart;
  } cases[] = {
      {"source deleted", [](const std::string& src) { fs::remove(src); }, "CAN'T OPEN FILE \""},
      {"source shrank", [](const std::string& src) { std::ofstream(src) << "x"; }, "FILE \""},
      {"source unreadable", [](const std::string& src) { fs::remove(src); fs::create_directory(src); },
       "ERROR READING FILE \""},
  };
  for (const auto& c : cases) {
    Saver s;
    const std::string src = dir.File("victim.bin", std::string(10000, 'v'));
    s.b.AddFile("\\", dir.File("ok.txt", "fine"), false);
    s.b.AddFile("\\", src, false);
    const std::string out = (dir.path() / "out.iso").string();
    std::ofstream(out) << "previous image";
    c.spoil(src);
    EXPECT_EQ(s.b.SaveImageFile(out, true), 0) << c.what;
    ASSERT_EQ(s.done.size(), 1u) << c.what;
    EXPECT_EQ(s.done[0].rfind(c.messageStart, 0), 0u) << c.what << ": " << s.done[0];
    EXPECT_EQ(ReadAll(out), "previous image") << c.what;
    int partial = 0;
    for (auto& e : fs::directory_iterator(dir.path())) partial += e.path().filename().string().find(".partial") != std::string::npos;
    EXPECT_EQ(partial, 0) << c.what;
    fs::remove_all(src);
  }
  Saver s;
  const std::string nowhere = (dir.path() / "no" / "such" / "dir" / "x.iso").string();
  EXPECT_EQ(s.b.SaveImageFile(nowhere, true), 0);
  ASSERT_EQ(s.done.size(), 1u);
  EXPECT_EQ(s.done[0], "CAN'T CREATE FILE \"" + nowhere + "\"");
}

// A file cut short while the stream is inside it must fail the stream, never
// read as zeros: at or past the new end, and inside a hole of a sparse file,
// the kernel has no data left to give and the reader must notice.
TEST(ImageReader, FileTruncatedWhileReadFailsNamingIt) {
  ScratchDir dir("truncread");
  constexpr std::int64_t kSize = 8 << 20;
  constexpr std::size_t kBlock = 1 << 20;
  struct Case {
    const char* what;
    bool sparse;          // data only in the first and last MiB
    std::int64_t cutTo;   // new size, set after the first 2 MiB of the file were read
  } cases[] = {
      {"cut below the read position", false, 1 << 20},
      {"cut to nothing", false, 0},
      {"cut exactly at the read position", false, 2 << 20},
      {"cut ahead of the read position", false, 5 << 20},
      {"sparse, cut inside the hole", true, 3 << 20},
  };
  for (const auto& c : cases) {
    TZCDBurner b;
    const std::string victim = dir.File("victim.bin", "");
    {
      std::ofstream out(victim, std::ios::binary);
      const std::string mib(1 << 20, 'v');
      for (int i = 0; i < 8; ++i) {
        if (c.sparse && i > 0 && i < 7) out.seekp((i + 1) << 20);
        else out << mib;
      }
    }
    ASSERT_EQ(fs::file_size(victim), static_cast<std::uintmax_t>(kSize)) << c.what;
    b.AddFile("\\", victim, false);
    b.BuildLayout(true, nullptr);
    b.BuildMetadata(true, nullptr);
    const TImagePlan plan = b.ImagePlan();
    TImageReader reader(plan);
    std::vector<std::uint8_t> buf(kBlock);
    // The metadata and padding, then two MiB of the file.
    const std::int64_t upTo = static_cast<std::int64_t>(plan.Files.at(0).Lba) * 2048 + (2 << 20);
    std::int64_t done = 0;
    while (done < upTo) {
      const std::int64_t n = reader.Read(buf.data(), static_cast<std::size_t>(std::min<std::int64_t>(kBlock, upTo - done)));
      ASSERT_GT(n, 0) << c.what << ": " << reader.Error();
      done += n;
    }
    fs::resize_file(victim, static_cast<std::uintmax_t>(c.cutTo));
    std::int64_t n;
    while ((n = reader.Read(buf.data(), kBlock)) > 0) done += n;
    EXPECT_EQ(n, -1) << c.what << ": the stream ended after " << done << " bytes without an error";
    EXPECT_EQ(reader.Error(), "FILE \"" + victim + "\" BECAME SHORTER SINCE IT WAS ADDED") << c.what;
    EXPECT_EQ(reader.CurrentFile(), victim) << c.what;
    fs::remove(victim);
  }
}

TEST(ImageReader, AnyBlockSizeGivesTheSameStream) {
  ScratchDir dir("reader");
  TZCDBurner b;
  for (int i = 0; i < 7; ++i) b.AddFile("\\", dir.File("f" + std::to_string(i), std::string(1000 * i + 1, char('a' + i))), false);
  b.Bootable = true;
  b.BootImageFile = dir.File("boot.img", std::string(5000, 'B'));
  b.BuildLayout(true, nullptr);
  b.BuildMetadata(true, nullptr);
  const TImagePlan plan = b.ImagePlan();
  std::string reference;
  for (std::size_t block : {std::size_t{1} << 20, std::size_t{2048}, std::size_t{3 * 2048}, std::size_t{27 * 2048}}) {
    TImageReader reader(plan);
    std::vector<std::uint8_t> buf(block);
    std::string stream;
    for (;;) {
      const std::int64_t n = reader.Read(buf.data(), block);
      ASSERT_GE(n, 0) << reader.Error();
      if (n == 0) break;
      EXPECT_EQ(n % 2048, 0);
      stream.append(reinterpret_cast<char*>(buf.data()), static_cast<std::size_t>(n));
    }
    EXPECT_EQ(stream.size(), static_cast<std::size_t>(b.Layout().ImageSectors) * 2048) << block;
    if (reference.empty()) reference = stream;
    EXPECT_EQ(stream, reference) << block;
  }
  // The boot image sits right after the catalog.
  EXPECT_EQ(reference.substr(b.Layout().BootImage * std::size_t{2048}, 5000), std::string(5000, 'B'));
}

}  // namespace
}  // namespace velloran::image
