#include "vrec/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace velloran::vrec {
namespace fs = std::filesystem;
namespace {

constexpr std::size_t kBlock = 2048;
constexpr char kStateHeader[] = "velloran-recorder-state 1";

std::string ErrnoText(int err) { return std::strerror(err); }

bool AllZero(const std::uint8_t* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

bool WriteAll(int fd, const std::uint8_t* p, std::size_t n, off_t offset) {
  while (n > 0) {
    ssize_t w = ::pwrite(fd, p, n, offset);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
    offset += w;
  }
  return true;
}

}  // namespace

fs::path DefaultStateDir() {
  if (const char* dir = std::getenv("VELLORAN_RECORDER_DIR"); dir && *dir) return fs::path(dir);
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) return fs::path(xdg) / "velloran" / "recorders";
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : "/tmp") / ".local" / "share" / "velloran" / "recorders";
}

std::string PersistedState::Serialize() const {
  std::ostringstream out;
  out << kStateHeader << "\n"
      << "tray-open " << (trayOpen ? 1 : 0) << "\n"
      << "media-changes " << mediaChanges << "\n"
      << "real-time " << (realTime ? 1 : 0) << "\n"
      << "time-scale " << timeScale << "\n";
  if (underruns) out << "underruns " << underruns << "\n";
  if (busy.ascq) out << "busy " << int{busy.ascq} << " " << busy.startMs << " " << busy.endMs << "\n";
  if (!source.empty()) out << "source " << source << "\n";
  if (prevent) out << "prevent 1\n";
  if (faults.writeError)
    out << "fault-write-error " << faults.writeError->lba << " " << int{faults.writeError->key} << " "
        << int{faults.writeError->asc} << " " << int{faults.writeError->ascq} << "\n";
  if (faults.notReady) out << "fault-not-ready " << faults.notReady << "\n";
  if (faults.slowMs) out << "fault-slow " << faults.slowMs << "\n";
  if (faults.opcFail) out << "fault-opc-fail 1\n";
  if (faults.corrupt) out << "fault-corrupt " << *faults.corrupt << "\n";
  if (faults.readError) out << "fault-read-error " << *faults.readError << "\n";
  out << medium.Serialize();
  return out.str();
}

std::optional<PersistedState> PersistedState::Parse(const std::string& text, std::string* why) {
  PersistedState st;
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line) || line != kStateHeader) {
    if (why) *why = "not a recorder state file";
    return std::nullopt;
  }
  std::string mediumText;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string key;
    ls >> key;
    if (key == "tray-open") {
      int v = 0;
      ls >> v;
      st.trayOpen = v != 0;
    } else if (key == "media-changes") {
      ls >> st.mediaChanges;
    } else if (key == "real-time") {
      int v = 0;
      ls >> v;
      st.realTime = v != 0;
    } else if (key == "time-scale") {
      ls >> st.timeScale;
      if (!(st.timeScale >= 0)) st.timeScale = 1.0;
    } else if (key == "underruns") {
      ls >> st.underruns;
    } else if (key == "busy") {
      int a = 0;
      ls >> a >> st.busy.startMs >> st.busy.endMs;
      st.busy.ascq = static_cast<std::uint8_t>(a);
    } else if (key == "source") {
      std::getline(ls >> std::ws, st.source);
    } else if (key == "prevent") {
      int v = 0;
      ls >> v;
      st.prevent = v != 0;
    } else if (key == "fault-write-error") {
      Faults::WriteError w;
      unsigned k = 0, a = 0, q = 0;
      ls >> w.lba >> k >> a >> q;
      w.key = static_cast<std::uint8_t>(k);
      w.asc = static_cast<std::uint8_t>(a);
      w.ascq = static_cast<std::uint8_t>(q);
      st.faults.writeError = w;
    } else if (key == "fault-not-ready") {
      ls >> st.faults.notReady;
    } else if (key == "fault-slow") {
      ls >> st.faults.slowMs;
    } else if (key == "fault-opc-fail") {
      st.faults.opcFail = true;
    } else if (key == "fault-corrupt" || key == "fault-read-error") {
      std::uint32_t lba = 0;
      if (ls >> lba) (key == "fault-corrupt" ? st.faults.corrupt : st.faults.readError) = lba;
    } else {
      mediumText += line;
      mediumText += '\n';
    }
  }
  auto medium = MediumState::Parse(mediumText, why);
  if (!medium) return std::nullopt;
  st.medium = std::move(*medium);
  return st;
}

StateStore::StateStore(fs::path root, int number)
    : folder_(std::move(root) / ("recorder" + std::to_string(number))), statePath_(folder_ / "state") {}

StateStore::~StateStore() {
  if (lockFd_ >= 0) ::close(lockFd_);
  if (dataFd_ >= 0) ::close(dataFd_);
  ReleaseDevice();
}

bool StateStore::Open(std::string* why) {
  if (lockFd_ >= 0) return true;
  std::error_code ec;
  fs::create_directories(folder_, ec);
  if (ec) {
    if (why) *why = "cannot create the recorder folder " + folder_.string() + ": " + ec.message();
    return false;
  }
  int lock = ::open((folder_ / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (lock < 0) {
    if (why) *why = "cannot open " + (folder_ / "lock").string() + ": " + ErrnoText(errno);
    return false;
  }
  int data = ::open((folder_ / "medium.img").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (data < 0) {
    if (why) *why = "cannot open " + (folder_ / "medium.img").string() + ": " + ErrnoText(errno);
    ::close(lock);
    return false;
  }
  lockFd_ = lock;
  dataFd_ = data;
  return true;
}

StateStore::Lock::Lock(int fd) : fd_(fd) {
  if (fd_ < 0) return;
  while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
  }
}

StateStore::Lock::~Lock() {
  if (fd_ >= 0) ::flock(fd_, LOCK_UN);
}

StateStore::Stamp StateStore::CurrentStamp() const {
  struct stat st {};
  if (::stat(statePath_.c_str(), &st) != 0) return Stamp{};
  return Stamp{static_cast<std::uint64_t>(st.st_ino),
               static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
               static_cast<std::int64_t>(st.st_size)};
}

bool StateStore::Changed() const { return !(CurrentStamp() == stamp_); }

bool StateStore::Load(PersistedState* out, std::string* why) {
  std::ifstream in(statePath_, std::ios::binary);
  if (!in) {
    if (fs::exists(statePath_)) {
      if (why) *why = "cannot read " + statePath_.string();
      return false;
    }
    PersistedState first;
    first.medium = MediumState::Fresh(MediumKind::CdR);
    Erase();
    if (!Save(first, why)) return false;
    *out = std::move(first);
    return true;
  }
  std::stringstream buf;
  buf << in.rdbuf();
  std::string reason;
  auto parsed = PersistedState::Parse(buf.str(), &reason);
  if (!parsed) {
    if (why) *why = statePath_.string() + ": " + reason;
    return false;
  }
  *out = std::move(*parsed);
  stamp_ = CurrentStamp();
  return true;
}

bool StateStore::Save(const PersistedState& state, std::string* why) {
  // Written beside and renamed over, so a reader never sees half a file and
  // every save changes the inode other processes compare against.
  const fs::path tmp = folder_ / "state.tmp";
  const std::string text = state.Serialize();
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || !WriteAll(fd, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), 0)) {
    if (why) *why = "cannot write " + tmp.string() + ": " + ErrnoText(errno);
    if (fd >= 0) ::close(fd);
    return false;
  }
  ::close(fd);
  if (::rename(tmp.c_str(), statePath_.c_str()) != 0) {
    if (why) *why = "cannot replace " + statePath_.string() + ": " + ErrnoText(errno);
    return false;
  }
  stamp_ = CurrentStamp();
  return true;
}

bool StateStore::ReadBlocks(std::int64_t lba, std::uint32_t count, std::uint8_t* out) {
  std::size_t n = std::size_t{count} * kBlock;
  off_t offset = static_cast<off_t>(lba) * static_cast<off_t>(kBlock);
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = ::pread(dataFd_, out + done, n - done, offset + static_cast<off_t>(done));
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (r == 0) break;  // past the end of the sparse file: unwritten, zero
    done += static_cast<std::size_t>(r);
  }
  std::memset(out + done, 0, n - done);
  return true;
}

bool StateStore::WriteBlocks(std::int64_t lba, std::uint32_t count, const std::uint8_t* in) {
  const std::size_t n = std::size_t{count} * kBlock;
  const off_t offset = static_cast<off_t>(lba) * static_cast<off_t>(kBlock);
  // Zero blocks (erasing by overwriting, padding) become holes so that the
  // block file of a 4.7 GB medium stays as small as what it holds.
  if (AllZero(in, n)) {
    struct stat st {};
    if (::fstat(dataFd_, &st) == 0 && offset >= st.st_size) return ::ftruncate(dataFd_, offset + n) == 0;
    if (::fallocate(dataFd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, static_cast<off_t>(n)) == 0) {
      if (st.st_size < offset + static_cast<off_t>(n)) return ::ftruncate(dataFd_, offset + n) == 0;
      return true;
    }
  }
  return WriteAll(dataFd_, in, n, offset);
}

bool StateStore::Erase() { return dataFd_ >= 0 && ::ftruncate(dataFd_, 0) == 0; }

bool StateStore::Import(const fs::path& image, std::string* why) {
  int src = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (src < 0) {
    if (why) *why = "cannot open image " + image.string() + ": " + ErrnoText(errno);
    return false;
  }
  if (!Erase()) {
    if (why) *why = "cannot clear the recorder's block file: " + ErrnoText(errno);
    ::close(src);
    return false;
  }
  std::vector<std::uint8_t> buf(1 << 20);
  off_t offset = 0;
  bool ok = true;
  for (;;) {
    ssize_t r = ::read(src, buf.data(), buf.size());
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      if (why) *why = "cannot read image " + image.string() + ": " + ErrnoText(errno);
      ok = false;
      break;
    }
    if (r == 0) break;
    if (!WriteAll(dataFd_, buf.data(), static_cast<std::size_t>(r), offset)) {
      if (why) *why = "cannot store the image: " + ErrnoText(errno);
      ok = false;
      break;
    }
    offset += r;
  }
  ::close(src);
  if (!ok) Erase();
  return ok;
}

bool StateStore::Export(const fs::path& image, std::uint32_t blocks, std::string* why) {
  const fs::path tmp = image.string() + ".part";
  int dst = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (dst < 0) {
    if (why) *why = "cannot create " + image.string() + ": " + ErrnoText(errno);
    return false;
  }
  std::vector<std::uint8_t> buf(512 * kBlock);
  bool ok = true;
  for (std::uint32_t lba = 0; lba < blocks && ok;) {
    std::uint32_t n = std::min<std::uint32_t>(512, blocks - lba);
    const std::size_t bytes = std::size_t{n} * kBlock;
    // Unrecorded stretches stay holes in the image too.
    ok = ReadBlocks(lba, n, buf.data()) &&
         (AllZero(buf.data(), bytes) ||
          WriteAll(dst, buf.data(), bytes, static_cast<off_t>(lba) * static_cast<off_t>(kBlock)));
    lba += n;
  }
  if (ok) ok = ::ftruncate(dst, static_cast<off_t>(blocks) * static_cast<off_t>(kBlock)) == 0;
  int err = errno;
  ::close(dst);
  if (!ok || ::rename(tmp.c_str(), image.c_str()) != 0) {
    if (ok) err = errno;
    if (why) *why = "cannot write " + image.string() + ": " + ErrnoText(err);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

std::uint64_t StateStore::DataBlocks() const {
  struct stat st {};
  if (dataFd_ < 0 || ::fstat(dataFd_, &st) != 0) return 0;
  return (static_cast<std::uint64_t>(st.st_size) + kBlock - 1) / kBlock;
}

bool StateStore::HoldDevice() {
  if (deviceFd_ >= 0) return true;
  const int fd = ::open(DevicePath().c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  while (::flock(fd, LOCK_SH) != 0) {
    if (errno != EINTR) {
      ::close(fd);
      return false;
    }
  }
  deviceFd_ = fd;
  return true;
}

void StateStore::ReleaseDevice() {
  if (deviceFd_ < 0) return;
  ::close(deviceFd_);
  deviceFd_ = -1;
}

bool StateStore::DeviceHeld() const {
  const int fd = ::open(DevicePath().c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // A lock of our own on another open of the file conflicts as well, so
  // this sees this process's hold too.
  const bool held = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  ::close(fd);
  return held;
}

bool StateStore::Sync() { return dataFd_ < 0 || ::fdatasync(dataFd_) == 0; }

}  // namespace velloran::vrec
