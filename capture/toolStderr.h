// Keeping what a capture tool writes on standard error while it starts.
#pragma once

#include <string>

#include "fileUtil.h"

// While alive, descriptor 2 of this process is an anonymous in-memory file,
// so that a child started meanwhile writes its diagnostics there; take()
// puts the old descriptor 2 back and returns them. A tool that gives up
// before it detaches (its port taken, its directory unusable) can then be
// reported in its own words. Single-threaded use only: descriptor 2 is
// process-wide. When the file cannot be made, nothing is redirected.
class ToolStderr {
 public:
  ToolStderr();
  ToolStderr(const ToolStderr&) = delete;
  ToolStderr& operator=(const ToolStderr&) = delete;
  ~ToolStderr();

  // Restores descriptor 2, copies the text kept onto it (so it still
  // reaches the operator's journal) and returns it with its line ends
  // replaced by "; ". Later calls return "".
  std::string take();

 private:
  UniqueFd saved_;   // the original descriptor 2
  UniqueFd memory_;  // the in-memory file
};
