// ToolStderr: a memfd rather than a pipe, because a tool that detaches may
// keep its standard error open long after its launcher returned, and
// nobody would read a pipe then.
#include "toolStderr.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {
const size_t kKeptBytes = 8192;
}  // namespace

ToolStderr::ToolStderr() {
  memory_.reset(memfd_create("kova-tool-stderr", MFD_CLOEXEC));
  if (!memory_.valid()) return;
  saved_.reset(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
  // dup2 leaves the new descriptor 2 inheritable, as a child's stderr must be.
  if (!saved_.valid() || dup2(memory_.get(), STDERR_FILENO) < 0) {
    saved_.reset();
    memory_.reset();
  }
}

ToolStderr::~ToolStderr() { take(); }

std::string ToolStderr::take() {
  if (!saved_.valid()) return std::string();
  dup2(saved_.get(), STDERR_FILENO);
  saved_.reset();
  std::string text;
  char buffer[1024];
  ssize_t got;
  off_t offset = 0;
  // A tool's complaint is a line or two; a tool that never stops writing
  // there must not fill our memory.
  while (text.size() < kKeptBytes &&
         (got = pread(memory_.get(), buffer, sizeof buffer, offset)) > 0) {
    text.append(buffer, static_cast<size_t>(got));
    offset += got;
  }
  memory_.reset();
  writeAll(STDERR_FILENO, text.data(), text.size());
  while (!text.empty() && text.back() == '\n') text.pop_back();
  for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at))
    text.replace(at, 1, "; ");
  return text;
}
