#include "platform/process.h"

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <vector>

namespace velloran::platform {

std::string ExecutableDir() {
  std::vector<char> buf(PATH_MAX + 1);
  ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size() - 1);
  if (n <= 0) return {};
  std::string path(buf.data(), static_cast<std::size_t>(n));
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string OwningGroupName(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  struct group grp {};
  struct group* result = nullptr;
  std::vector<char> buf(16384);
  if (::getgrgid_r(st.st_gid, &grp, buf.data(), buf.size(), &result) == 0 && result)
    return result->gr_name;
  return std::to_string(st.st_gid);
}

void FailWritesBeyondFileSizeLimit() {
  struct sigaction current {};
  if (::sigaction(SIGXFSZ, nullptr, &current) != 0) return;
  if (current.sa_handler != SIG_DFL || (current.sa_flags & SA_SIGINFO)) return;
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ::sigaction(SIGXFSZ, &ignore, nullptr);
}

}  // namespace velloran::platform
