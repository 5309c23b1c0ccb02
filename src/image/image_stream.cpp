#include "image/image_stream.h"

#include "drive/zbConst.h"
#include "image/image_messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace velloran::image {

namespace {

std::string Format(const char* pattern, const std::string& a, const std::string& b = {}) {
  std::vector<char> buf(std::strlen(pattern) + a.size() + b.size() + 16);
  std::snprintf(buf.data(), buf.size(), pattern, a.c_str(), b.c_str());
  return buf.data();
}

std::uint32_t SectorsOf(std::int64_t bytes) {
  return static_cast<std::uint32_t>((bytes + kSectorSize - 1) / kSectorSize);
}

mode_t CurrentUmask() {
  const mode_t m = ::umask(0);
  ::umask(m);
  return m;
}

// Everything of the plan but the metadata.
TImagePlan PlanWithoutMetadata(const Compilation& compilation, const TLayout& layout, const std::string& bootImageFile) {
  TImagePlan plan;
  plan.StartAddress = layout.StartAddress;
  if (layout.Bootable) {
    plan.BootImageFile = bootImageFile;
    plan.BootImageSectors = layout.BootImageSectors;
  }
  plan.PaddingSectors = layout.PaddingSectors;
  plan.TotalSectors = layout.ImageSectors;
  for (const auto& f : compilation.Files()) {
    if (f->Directory || f->Imported || f->Size == 0) continue;
    plan.Files.push_back(TFileExtent{f.get(), f->Size, layout.FirstFile + static_cast<std::uint32_t>(f->Extent),
                                     SectorsOf(f->Size)});
  }
  return plan;
}

}  // namespace

TImagePlan MakeImagePlan(const Compilation& compilation, const TLayout& layout,
                         const std::vector<std::uint8_t>& metadata, const std::string& bootImageFile) {
  TImagePlan plan = PlanWithoutMetadata(compilation, layout, bootImageFile);
  plan.Metadata = &metadata;
  return plan;
}

TImagePlan MakeImagePlan(const Compilation& compilation, const TLayout& layout, const TMetadataSource& metadata,
                         const std::string& bootImageFile) {
  TImagePlan plan = PlanWithoutMetadata(compilation, layout, bootImageFile);
  plan.MetadataSource = &metadata;
  return plan;
}

TImageReader::TImageReader(const TImagePlan& plan, DebugFn debug) : plan_(plan), debug_(std::move(debug)) {}

TImageReader::~TImageReader() {
  if (fd_ >= 0) ::close(fd_);
}

void TImageReader::HashFiles(std::vector<platform::TDigest>* digests) {
  digests_ = digests;
  if (!digests_) return;
  digests_->assign(plan_.Files.size(), platform::TDigest{});
  hash_ = std::make_unique<platform::Sha256>();
}

bool TImageReader::Fail(std::string text) {
  error_ = std::move(text);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  return false;
}

bool TImageReader::OpenNextFile() {
  const TFileExtent& f = plan_.Files[fileIndex_];
  currentFile_ = f.SourcePath();
  const std::int64_t expected = static_cast<std::int64_t>(f.Lba) - plan_.StartAddress;
  if (expected != sector_ && debug_) {
    debug_(std::string(">>> ") + drive::msg::INTERNAL_ERROR_0004 + " " + currentFile_ + " " +
               std::to_string(expected) + "<>" + std::to_string(sector_),
           4);
  }
  fd_ = ::open(currentFile_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return Fail(Format(drive::msg::CANT_OPEN_FILE, currentFile_));
  fileLeft_ = f.Size;
  filePos_ = 0;
  dataAt_ = -1;
  return true;
}

std::int64_t TImageReader::Read(std::uint8_t* buf, std::size_t bytes) {
  if (!error_.empty()) return -1;
  const std::int64_t metaSectors = plan_.Metadata         ? static_cast<std::int64_t>(plan_.Metadata->size() / kSectorSize)
                                   : plan_.MetadataSource ? plan_.MetadataSource->Sectors()
                                                          : 0;
  const std::int64_t bootEnd = metaSectors + plan_.BootImageSectors;
  const std::int64_t padEnd = bootEnd + plan_.PaddingSectors;
  std::size_t done = 0;
  lastZero_ = true;
  while (done + kSectorSize <= bytes && sector_ < plan_.TotalSectors) {
    std::uint8_t* out = buf + done;
    std::size_t room = bytes - done;
    if (sector_ < metaSectors) {
      const std::size_t n = std::min<std::size_t>(room, static_cast<std::size_t>(metaSectors - sector_) * kSectorSize);
      if (plan_.Metadata)
        std::memcpy(out, plan_.Metadata->data() + sector_ * kSectorSize, n);
      else if (!plan_.MetadataSource->Read(static_cast<std::uint32_t>(sector_),
                                           static_cast<std::uint32_t>(n / kSectorSize), out))
        return Fail(std::string(drive::msg::INTERNAL_ERROR_0004) + " metadata"), -1;
      lastZero_ = false;
      done += n, sector_ += n / kSectorSize;
    } else if (sector_ < bootEnd) {
      // The boot image is read whole on first use (a diskette image at most
      // a few megabytes); its last sector is zero-filled, and a file that
      // no longer fills the sectors laid out for it fails the stream.
      if (boot_.empty()) {
        boot_.assign(static_cast<std::size_t>(plan_.BootImageSectors) * kSectorSize, 0);
        currentFile_ = plan_.BootImageFile;
        const int fd = ::open(plan_.BootImageFile.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return Fail(Format(drive::msg::CANT_OPEN_FILE, plan_.BootImageFile)), -1;
        std::size_t got = 0;
        ssize_t r = 0;
        while (got < boot_.size()) {
          r = ::read(fd, boot_.data() + got, boot_.size() - got);
          if (r < 0 && errno == EINTR) continue;
          if (r <= 0) break;
          got += static_cast<std::size_t>(r);
        }
        ::close(fd);
        if (r < 0) return Fail(Format(msg::ERROR_READING_FILE, plan_.BootImageFile)), -1;
        if (got + kSectorSize <= boot_.size()) return Fail(Format(msg::FILE_CHANGED_SIZE, plan_.BootImageFile)), -1;
      }
      const std::vector<std::uint8_t>& boot = boot_;
      const std::size_t from = static_cast<std::size_t>(sector_ - metaSectors) * kSectorSize;
      const std::size_t n = std::min(room, boot.size() - from);
      std::memcpy(out, boot.data() + from, n);
      lastZero_ = false;
      done += n, sector_ += n / kSectorSize;
    } else if (sector_ < padEnd) {
      const std::size_t n = std::min<std::size_t>(room, static_cast<std::size_t>(padEnd - sector_) * kSectorSize);
      std::memset(out, 0, n);
      done += n, sector_ += n / kSectorSize;
    } else if (fd_ < 0 && fileIndex_ < plan_.Files.size()) {
      if (!OpenNextFile()) return -1;
    } else if (fd_ >= 0) {
      std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(fileLeft_, static_cast<std::int64_t>(room)));
      // Holes of a sparse file are zeros without reading them; the next data
      // offset is asked again only once the position passes it.
      if (dataAt_ < filePos_) {
        const off_t d = ::lseek(fd_, static_cast<off_t>(filePos_), SEEK_DATA);
        dataAt_ = d < 0 ? (errno == ENXIO ? filePos_ + fileLeft_ : filePos_) : static_cast<std::int64_t>(d);
      }
      const bool hole = dataAt_ > filePos_;
      if (hole) {
        want = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(want), dataAt_ - filePos_));
        // Whole sectors only, unless the hole runs to the end of the file.
        if (static_cast<std::int64_t>(want) < fileLeft_) want -= want % kSectorSize;
      }
      if (want == 0) {
        dataAt_ = filePos_;  // less than a sector of hole: read it
        continue;
      }
      std::size_t got = 0;
      if (hole) {
        // The kernel answers "no data here" both inside a hole and at or
        // past the end of a file: only the file's size tells a hole from a
        // file cut short while it is read.
        struct stat st {};
        if (::fstat(fd_, &st) != 0) return Fail(Format(msg::ERROR_READING_FILE, currentFile_)), -1;
        if (static_cast<std::int64_t>(st.st_size) < filePos_ + fileLeft_)
          return Fail(Format(msg::FILE_CHANGED_SIZE, currentFile_)), -1;
        std::memset(out, 0, want);
        got = want;
        if (::lseek(fd_, static_cast<off_t>(filePos_ + static_cast<std::int64_t>(want)), SEEK_SET) < 0)
          return Fail(Format(msg::ERROR_READING_FILE, currentFile_)), -1;
      } else {
        lastZero_ = false;
      }
      while (got < want) {
        const ssize_t r = ::read(fd_, out + got, want - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return Fail(Format(msg::ERROR_READING_FILE, currentFile_)), -1;
        if (r == 0) return Fail(Format(msg::FILE_CHANGED_SIZE, currentFile_)), -1;
        got += static_cast<std::size_t>(r);
      }
      fileLeft_ -= static_cast<std::int64_t>(got);
      filePos_ += static_cast<std::int64_t>(got);
      if (hash_) hash_->Update(out, got);
      std::size_t n = got;
      if (fileLeft_ == 0) {
        if (hash_) (*digests_)[fileIndex_] = hash_->Final();
        const std::size_t padded = (n + kSectorSize - 1) / kSectorSize * kSectorSize;
        std::memset(out + n, 0, padded - n);
        n = padded;
        ::close(fd_);
        fd_ = -1;
        ++fileIndex_;
      }
      done += n, sector_ += static_cast<std::int64_t>(n / kSectorSize);
    } else {
      // Past the last file: only reached when the layout and the plan
      // disagree; zeros keep the stream at its announced length.
      const std::size_t n = std::min<std::size_t>(room, static_cast<std::size_t>(plan_.TotalSectors - sector_) * kSectorSize);
      std::memset(out, 0, n);
      done += n, sector_ += n / kSectorSize;
    }
  }
  return static_cast<std::int64_t>(done);
}

bool SaveImage(const TImagePlan& plan, const std::string& fileName, std::string& error, const DebugFn& debug) {
  std::string tmp = fileName + ".partial-XXXXXX";
  std::vector<char> tmpl(tmp.begin(), tmp.end());
  tmpl.push_back('\0');
  const int out = ::mkstemp(tmpl.data());
  if (out < 0) {
    error = Format(drive::msg::CANT_CREATE_FILE, fileName);
    return false;
  }
  tmp = tmpl.data();
  ::fchmod(out, 0666 & ~CurrentUmask());  // mkstemp makes it private
  auto failWrite = [&](int err) {
    error = Format(msg::ERROR_WRITING_FILE, fileName, std::strerror(err));
    ::close(out);
    ::unlink(tmp.c_str());
    return false;
  };
  TImageReader reader(plan, debug);
  constexpr std::size_t kBlock = 1 << 20;
  std::vector<std::uint8_t> block(kBlock);
  static const std::vector<std::uint8_t> zeros(kBlock, 0);
  std::int64_t written = 0;
  for (;;) {
    const std::int64_t n = reader.Read(block.data(), kBlock);
    if (n < 0) {
      error = reader.Error();
      ::close(out);
      ::unlink(tmp.c_str());
      return false;
    }
    if (n == 0) break;
    const auto len = static_cast<std::size_t>(n);
    if (reader.LastReadWasZero() || std::memcmp(block.data(), zeros.data(), len) == 0) {
      if (::lseek(out, static_cast<off_t>(len), SEEK_CUR) < 0) return failWrite(errno);
    } else {
      std::size_t put = 0;
      while (put < len) {
        const ssize_t w = ::write(out, block.data() + put, len - put);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return failWrite(w < 0 ? errno : ENOSPC);
        put += static_cast<std::size_t>(w);
      }
    }
    written += n;
  }
  if (::ftruncate(out, static_cast<off_t>(written)) != 0) return failWrite(errno);
  if (::close(out) != 0) {
    error = Format(msg::ERROR_WRITING_FILE, fileName, std::strerror(errno));
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), fileName.c_str()) != 0) {
    error = Format(msg::ERROR_WRITING_FILE, fileName, std::strerror(errno));
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace velloran::image
