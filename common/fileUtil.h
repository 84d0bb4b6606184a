// Descriptor ownership and the few file writes both programs share.
#pragma once

#include <string>

// Owns one file descriptor and closes it on destruction. Move-only.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Closes the descriptor held (if any) and takes fd.
  void reset(int fd = -1);
  // Gives the descriptor up without closing it.
  int release();

 private:
  int fd_;
};

// Writes all of data, retrying interrupted and short writes. False on any
// other error (errno tells which).
bool writeAll(int fd, const char* data, size_t size);

// Replaces path with text as one step: writes path + ".tmp" in the same
// directory, then renames it over path, so that a reader sees either the
// old or the new whole content. False (and no ".tmp" left) on failure.
bool replaceFile(const std::string& path, const std::string& text);
