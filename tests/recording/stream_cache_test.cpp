// Extended file streams and the read-ahead cache.
#include "recording/zbCache.h"
#include "recording/zbStreamEx.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace velloran::recording {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/velloran-rec-XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

void WriteFile(const std::string& path, std::size_t size, char fill = 'x') {
  std::ofstream out(path, std::ios::binary);
  std::string data(size, fill);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

TEST(StreamExTest, SizeKeepsThePositionAndSeesPastFourGiB) {
  TempDir dir;
  WriteFile(dir.File("a"), 4096);
  TFileStreamEx a(dir.File("a"), fmOpenRead | fmShareDenyNone);
  EXPECT_EQ(a.Seek(100, soFromBeginning), 100);
  EXPECT_EQ(a.Size(), 4096);
  EXPECT_EQ(a.Seek(0, soFromCurrent), 100);

  WriteFile(dir.File("empty"), 0);
  TFileStreamEx empty(dir.File("empty"), fmOpenRead | fmShareDenyNone);
  EXPECT_EQ(empty.Size(), 0);
  char c;
  EXPECT_EQ(empty.Read(&c, 1), 0);  // at the end: 0, not -1

  // A sparse file of 5 GiB: positions and sizes stay 64-bit.
  const std::int64_t big = 5LL << 30;
  {
    TFileStreamEx create(dir.File("big"), fmCreate);
    create.SetSize(big);
  }
  TFileStreamEx b(dir.File("big"), fmOpenRead | fmShareDenyNone);
  EXPECT_EQ(b.Size(), big);
  EXPECT_EQ(b.Seek((4LL << 30) + 10, soFromBeginning), (4LL << 30) + 10);
  EXPECT_EQ(b.Seek(-1, soFromEnd), big - 1);
}

TEST(StreamExTest, OpenAndCreateModes) {
  TempDir dir;
  EXPECT_THROW(TFileStreamEx(dir.File("missing"), fmOpenRead | fmShareDenyNone), EOSError);
  WriteFile(dir.File("old"), 5000);
  {
    TFileStreamEx created(dir.File("old"), fmCreate);  // truncates
    EXPECT_EQ(created.Size(), 0);
    EXPECT_EQ(created.Write("abc", 3), 3);
  }
  EXPECT_EQ(fs::file_size(dir.File("old")), 3u);
  EXPECT_THROW(TFileStreamEx(dir.File("no/such/dir/file"), fmCreate), EOSError);
}

// A source of counted bytes, so every byte's place in the stream shows.
class CountingSource : public TBlockSource {
 public:
  explicit CountingSource(std::int64_t total, std::int64_t failAt = -1) : total_(total), failAt_(failAt) {}
  std::int64_t Read(std::uint8_t* buf, std::size_t bytes) override {
    if (failAt_ >= 0 && pos_ >= failAt_) {
      error_ = "SOURCE FAILED";
      return -1;
    }
    std::int64_t n = std::min<std::int64_t>(static_cast<std::int64_t>(bytes), total_ - pos_);
    for (std::int64_t i = 0; i < n; ++i) buf[i] = static_cast<std::uint8_t>((pos_ + i) / 2048);
    pos_ += n;
    return n;
  }
  std::string Error() const override { return error_; }
  std::string CurrentFile() const override { return "/src/file"; }

 private:
  std::int64_t total_, failAt_, pos_ = 0;
  std::string error_;
};

// Takes every block as the write thread does; returns all bytes.
std::vector<std::uint8_t> Drain(TCacheThread& cache, std::vector<int>* sizes = nullptr) {
  std::vector<std::uint8_t> all;
  std::vector<std::uint8_t> buf(kMaxBlockSize + 4);
  for (;;) {
    int c = cache.GetBlock(buf.data());
    if (c == 0) break;
    if (c < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    if (sizes) sizes->push_back(c);
    all.insert(all.end(), buf.begin(), buf.begin() + c);
  }
  return all;
}

TEST(CacheTest, StreamsInOrderInWholeBlocks) {
  std::recursive_mutex lock;
  const std::int64_t total = 300 * 2048 + 7 * 2048;
  TCacheThread cache(2097152, std::make_unique<CountingSource>(total), total, true, 55296, lock);
  EXPECT_EQ(cache.MaxBlocks(), 37);
  cache.Start();
  std::vector<int> sizes;
  auto data = Drain(cache, &sizes);
  ASSERT_EQ(static_cast<std::int64_t>(data.size()), total);  // 307 sectors: no padding
  for (std::size_t i = 0; i < data.size(); i += 2048) ASSERT_EQ(data[i], static_cast<std::uint8_t>(i / 2048));
  for (std::size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], 55296);
  EXPECT_TRUE(cache.ErrorText().empty());
  cache.WaitFor();
  EXPECT_TRUE(cache.Done());
}

TEST(CacheTest, ShortCompilationIsPaddedToTheMinimumTrack) {
  std::recursive_mutex lock;
  const std::int64_t total = 100 * 2048;
  TCacheThread cache(4194304, std::make_unique<CountingSource>(total), total, true, 65536, lock);
  cache.Start();
  auto data = Drain(cache);
  ASSERT_EQ(data.size(), 614400u);
  EXPECT_EQ(cache.PadBytes(), 409600);
  for (std::size_t i = total; i < data.size(); ++i) ASSERT_EQ(data[i], 0) << i;

  // Not asked: no padding.
  TCacheThread plain(4194304, std::make_unique<CountingSource>(total), total, false, 65536, lock);
  plain.Start();
  EXPECT_EQ(Drain(plain).size(), static_cast<std::size_t>(total));
}

TEST(CacheTest, ProducerStopsOneBlockShortOfTheCacheSize) {
  std::recursive_mutex lock;
  const std::int64_t total = 200LL * 55296;
  TCacheThread cache(2097152, std::make_unique<CountingSource>(total), total, false, 55296, lock);
  cache.Start();
  while (!cache.Ready()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  // Primed with 36 blocks queued: the 37th is never read ahead.
  EXPECT_EQ(cache.Queued(), 36);
  std::vector<std::uint8_t> buf(kMaxBlockSize);
  EXPECT_EQ(cache.GetBlock(buf.data()), 55296);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(cache.Queued(), 36);  // refilled to the same mark
  cache.Cancel();
  EXPECT_GE(cache.FullWaits(), 2u);
  EXPECT_EQ(cache.PriorityLevel(), 0);
  EXPECT_EQ(cache.GetBlock(buf.data()), 0);  // cancelled: nothing more
  cache.WaitFor();
  EXPECT_EQ(cache.ErrorText(), "OPERATION ABORTED BY USER");
}

TEST(CacheTest, EmptyQueueAnswersMinusOneUntilDone) {
  std::recursive_mutex lock;
  // A source that blocks until released, so the queue is empty while the
  // producer runs.
  struct SlowSource : CountingSource {
    std::atomic<bool>* go;
    SlowSource(std::atomic<bool>* g) : CountingSource(2048), go(g) {}
    std::int64_t Read(std::uint8_t* buf, std::size_t bytes) override {
      while (!go->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return CountingSource::Read(buf, bytes);
    }
  };
  std::atomic<bool> go{false};
  TCacheThread cache(2097152, std::make_unique<SlowSource>(&go), 2048, false, 65536, lock);
  cache.Start();
  std::vector<std::uint8_t> buf(kMaxBlockSize);
  EXPECT_EQ(cache.GetBlock(buf.data()), -1);
  go = true;
  EXPECT_EQ(Drain(cache).size(), 2048u);
  cache.WaitFor();
  EXPECT_EQ(cache.GetBlock(buf.data()), 0);
}

TEST(CacheTest, SourceFailureEndsWithItsMessageAndKeepsTheFirstReason) {
  std::recursive_mutex lock;
  const std::int64_t total = 50 * 65536;
  TCacheThread cache(2097152, std::make_unique<CountingSource>(total, 10 * 65536), total, false, 65536, lock);
  cache.Start();
  auto data = Drain(cache);
  EXPECT_EQ(data.size(), 10u * 65536);  // what was queued before the failure still comes
  EXPECT_EQ(cache.ErrorText(), "SOURCE FAILED");
  EXPECT_EQ(cache.CurrentFile(), "/src/file");
  cache.SetErrorText("LATER");
  EXPECT_EQ(cache.ErrorText(), "SOURCE FAILED");
  // The write thread's own message, put there first, survives an abort.
  TCacheThread second(2097152, std::make_unique<CountingSource>(total), total, false, 65536, lock);
  second.Start();
  second.SetErrorText("WRITER ERROR [X]");
  second.Cancel();
  second.WaitFor();
  EXPECT_EQ(second.ErrorText(), "WRITER ERROR [X]");
}

TEST(CacheTest, ImageFileSourceRoundsUpAndDetectsAShrunkenFile) {
  TempDir dir;
  std::recursive_mutex lock;
  WriteFile(dir.File("one.iso"), 1, 'Z');
  TCacheThread cache(2097152, MakeImageFileSource(dir.File("one.iso"), 2048), 2048, true, 65536, lock);
  cache.Start();
  auto data = Drain(cache);
  ASSERT_EQ(data.size(), 2048u);  // one sector, and an image file is never padded
  EXPECT_EQ(data[0], 'Z');
  EXPECT_EQ(data[1], 0);

  WriteFile(dir.File("short.iso"), 4096);
  TCacheThread shrunk(2097152, MakeImageFileSource(dir.File("short.iso"), 8192), 8192, false, 65536, lock);
  shrunk.Start();
  Drain(shrunk);
  EXPECT_NE(shrunk.ErrorText().find("short.iso"), std::string::npos);

  TCacheThread missing(2097152, MakeImageFileSource(dir.File("none.iso"), 2048), 2048, false, 65536, lock);
  missing.Start();
  Drain(missing);
  EXPECT_EQ(missing.ErrorText(), "CAN'T OPEN FILE \"" + dir.File("none.iso") + "\" OR FILE IS IN USES BY OTHER SOFTWARE");
}

}  // namespace
}  // namespace velloran::recording
