#include "recording/zbStreamEx.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace velloran::recording {

void TStreamEx::SetSize(std::int64_t) {}

std::int64_t TStreamEx::Size() {
  const std::int64_t position = Seek(0, soFromCurrent);
  const std::int64_t size = Seek(0, soFromEnd);
  Seek(position, soFromBeginning);
  return size;
}

void THandleStreamEx::SetSize(std::int64_t NewSize) {
  Seek(NewSize, soFromBeginning);
  if (::ftruncate(FHandle, NewSize) != 0) {
    int code = errno;
    throw EOSError(std::strerror(code), code);
  }
}

int THandleStreamEx::Read(void* Buffer, int Count) {
  if (Count <= 0) return 0;
  auto* p = static_cast<char*>(Buffer);
  int done = 0;
  // A read may return less than asked (signals, pipes); a file stream
  // delivers all it can.
  while (done < Count) {
    ssize_t n = ::read(FHandle, p + done, static_cast<std::size_t>(Count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      FLastErrno = errno;
      return done;
    }
    if (n == 0) break;
    done += static_cast<int>(n);
  }
  return done;
}

int THandleStreamEx::Write(const void* Buffer, int Count) {
  if (Count <= 0) return 0;
  const auto* p = static_cast<const char*>(Buffer);
  int done = 0;
  while (done < Count) {
    ssize_t n = ::write(FHandle, p + done, static_cast<std::size_t>(Count - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      FLastErrno = errno;
      return done;
    }
    if (n == 0) {
      FLastErrno = ENOSPC;
      return done;
    }
    done += static_cast<int>(n);
  }
  return done;
}

std::int64_t THandleStreamEx::Seek(std::int64_t Offset, std::uint16_t Origin) {
  int whence = Origin == soFromCurrent ? SEEK_CUR : Origin == soFromEnd ? SEEK_END : SEEK_SET;
  off_t r = ::lseek(FHandle, static_cast<off_t>(Offset), whence);
  return r < 0 ? -1 : static_cast<std::int64_t>(r);
}

TFileStreamEx::TFileStreamEx(const std::string& FileName, std::uint16_t Mode) : THandleStreamEx(-1), FFileName(FileName) {
  int flags;
  if (Mode == fmCreate) {
    flags = O_RDWR | O_CREAT | O_TRUNC;
  } else {
    switch (Mode & 3) {
      case fmOpenWrite: flags = O_WRONLY; break;
      case fmOpenReadWrite: flags = O_RDWR; break;
      default: flags = O_RDONLY; break;
    }
  }
  int fd;
  do {
    fd = ::open(FileName.c_str(), flags | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int code = errno;
    throw EOSError(FileName + ": " + std::strerror(code), code);
  }
  FHandle = fd;
}

TFileStreamEx::~TFileStreamEx() {
  if (FHandle >= 0) ::close(FHandle);
}

}  // namespace velloran::recording
