// File streams with 64-bit positions and sizes (DVD images of several
// gigabytes), on the POSIX file calls.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace velloran::recording {

// Seek origins.
inline constexpr std::uint16_t soFromBeginning = 0;
inline constexpr std::uint16_t soFromCurrent = 1;
inline constexpr std::uint16_t soFromEnd = 2;

// Open modes: the low two bits choose read (0), write (1) or read-write (2);
// bits 4 to 6 the sharing (0x40: with everybody). fmCreate creates the file,
// replacing an existing one.
inline constexpr std::uint16_t fmOpenRead = 0x0000;
inline constexpr std::uint16_t fmOpenWrite = 0x0001;
inline constexpr std::uint16_t fmOpenReadWrite = 0x0002;
inline constexpr std::uint16_t fmShareDenyNone = 0x0040;
inline constexpr std::uint16_t fmCreate = 0xFFFF;

// An operating-system error, with errno.
class EOSError : public std::runtime_error {
 public:
  EOSError(const std::string& what, int code) : std::runtime_error(what), Code(code) {}
  int Code;
};

class TStreamEx {
 public:
  virtual ~TStreamEx() = default;
  // Does nothing here.
  virtual void SetSize(std::int64_t NewSize);
  // Bytes transferred; 0 when the system call fails.
  virtual int Read(void* Buffer, int Count) = 0;
  virtual int Write(const void* Buffer, int Count) = 0;
  // The new absolute position, or -1 when the seek fails.
  virtual std::int64_t Seek(std::int64_t Offset, std::uint16_t Origin) = 0;
  // The size, leaving the position where it was.
  std::int64_t Size();
};

class THandleStreamEx : public TStreamEx {
 public:
  explicit THandleStreamEx(int handle) : FHandle(handle) {}
  // Sets the end of file at NewSize; throws EOSError when that fails.
  void SetSize(std::int64_t NewSize) override;
  int Read(void* Buffer, int Count) override;
  int Write(const void* Buffer, int Count) override;
  std::int64_t Seek(std::int64_t Offset, std::uint16_t Origin) override;

  int Handle() const { return FHandle; }
  // errno of the last failed Read or Write (0 when none failed), so callers
  // that must not lose data can tell a full disk from success.
  int LastErrno() const { return FLastErrno; }

 protected:
  int FHandle;
  int FLastErrno = 0;
};

class TFileStreamEx : public THandleStreamEx {
 public:
  // Opens (or with fmCreate creates) FileName; throws EOSError when the
  // file cannot be opened or created.
  TFileStreamEx(const std::string& FileName, std::uint16_t Mode);
  ~TFileStreamEx() override;
  TFileStreamEx(const TFileStreamEx&) = delete;
  TFileStreamEx& operator=(const TFileStreamEx&) = delete;

  const std::string& FileName() const { return FFileName; }

 private:
  std::string FFileName;
};

}  // namespace velloran::recording
