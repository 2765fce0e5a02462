#include "program/EngineStatusFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "sys/klog.h"

bool WriteEngineStatusFile(const std::string& path, int64_t status, const std::vector<std::string>& lines) {
  nlohmann::json document = nlohmann::json::object();
  document["log"] = lines;
  document["status"] = status;
  return WriteJsonFile(path, document);
}

bool WriteJsonFile(const std::string& path, const nlohmann::json& value) {
  std::string text;
  try {
    text = value.dump();
  } catch (const std::exception& e) {
    LogMessageA("Important failure during json command line processing %s (SAVE)", e.what());
    return false;
  }
  // A new file beside the target, renamed over it: whatever stands at the
  // name (a link to another file, say) is replaced, never written through.
  std::string temporary = path + ".XXXXXX";
  const int fd = mkstemp(temporary.data());
  if (fd < 0) {
    LogMessageA("WriteJsonFile: cannot create a file beside %s (errno %d)", path.c_str(), errno);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool written = done == text.size() && fsync(fd) == 0;
  if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
    LogMessageA("WriteJsonFile: cannot write %s (errno %d)", path.c_str(), errno);
    unlink(temporary.c_str());
    return false;
  }
  return true;
}
