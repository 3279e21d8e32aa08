// Writing a file whole or not at all: the path ends up holding the complete new file or what it held before.
#pragma once

#include "zemvara/frame.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zv::io {

// One file written so that a failure at any point (a full disk, a file-size
// limit, an error the writing library ignores, bad input found late) leaves
// the path as it was:
// 1. The path is followed through symbolic links to the file it names.
//    A folder is refused (IsADirectoryError).
// 2. A regular file, or none: the new file is written to a hidden temporary
//    beside it (same folder, so same file system), created exclusively with
//    the mode of the file it replaces (or the process's default).
// 3. A device, FIFO or socket cannot be replaced: it is written in place,
//    every write checked. A library that writes by name writes a temporary
//    in the system's temporary folder instead, which is copied in.
// 4. commit(): when it replaces a file, flush the new one to the disk first
//    (fsync), so that a crash cannot leave an empty file where the old one
//    was (a new file skips it: it costs milliseconds and protects nothing
//    that existed); check the size when the bytes were ours to count; close
//    (checked: network file systems report write errors there); then rename
//    the temporary over the path in one step.
// 5. A WholeFile destroyed before its commit removes its temporary.
class WholeFile {
 public:
  explicit WholeFile(Handle path) : path_(path), target_(fs_encode(path)) {
    struct stat st;
    if (lstat(target_.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {  // 1
      if (char* real = realpath(target_.c_str(), nullptr)) {
        target_ = real;
        std::free(real);
      }
    }
    mode_t mode = 0666;
    if (stat(target_.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) raise_os_error(EISDIR, path_);
      if (!S_ISREG(st.st_mode)) {  // 3
        in_place_ = true;
        return;
      }
      mode = st.st_mode & 07777;
      replaces_ = true;
    } else if (errno != ENOENT) {
      raise_os_error(errno, path_);
    }
    const std::size_t slash = target_.rfind('/');  // 2
    make_temp(slash == std::string::npos ? std::string(".") : target_.substr(0, slash),
              target_.substr(slash == std::string::npos ? 0 : slash + 1));
    if (mode != 0666 && fchmod(fd_, mode) != 0) raise_os_error(errno, path_);
  }

  ~WholeFile() {  // 5
    if (fd_ >= 0) close(fd_);
    if (out_ >= 0) close(out_);
    if (!temp_.empty()) unlink(temp_.c_str());
  }
  WholeFile(const WholeFile&) = delete;
  WholeFile& operator=(const WholeFile&) = delete;

  // Where a library that writes files by name should write.
  Object writer_path() {
    if (temp_.empty()) {
      const char* folder = std::getenv("TMPDIR");
      make_temp(folder != nullptr && *folder != '\0' ? folder : "/tmp", "zemvara");
    }
    return fs_decode(temp_);
  }

  // Writes all n bytes: to the temporary, or straight into a device.
  void write(const void* data, std::size_t n) {
    if (temp_.empty()) {
      open_in_place();
      write_all(out_, data, n);
    } else {
      write_all(fd_, data, n);
    }
    written_ += n;
  }

  // 4. counted: the file must hold exactly the bytes given to write().
  void commit(bool counted) {
    if (!temp_.empty()) {
      if (replaces_ && fsync(fd_) != 0) raise_os_error(errno, path_);
      struct stat st;
      if (counted && (fstat(fd_, &st) != 0 || st.st_size != static_cast<off_t>(written_)))
        raise_os_error(EIO, path_);
      if (in_place_) copy_in();
      const int fd = fd_;
      fd_ = -1;
      if (close(fd) != 0) raise_os_error(errno, path_);
    }
    if (in_place_) {
      open_in_place();
      const int out = out_;
      out_ = -1;
      if (close(out) != 0) raise_os_error(errno, path_);
      return;
    }
    if (rename(temp_.c_str(), target_.c_str()) != 0) raise_os_error(errno, path_);
    temp_.clear();
  }

 private:
  // A new hidden file "<folder>/.<base>.<pid>-<n>-<time>.tmp", made exclusively.
  void make_temp(const std::string& folder, const std::string& base) {
    static unsigned counter = 0;
    for (int attempt = 0;; ++attempt) {
      char suffix[64];
      std::snprintf(suffix, sizeof suffix, ".%ld-%u-%lx.tmp", static_cast<long>(getpid()), ++counter,
                    static_cast<unsigned long>(std::time(nullptr)));
      std::string name = folder + "/." + base.substr(0, 100) + suffix;
      fd_ = open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd_ >= 0) {
        temp_ = std::move(name);
        return;
      }
      if (errno != EEXIST || attempt == 16) raise_os_error(errno, path_);
    }
  }

  void open_in_place() {
    if (out_ >= 0) return;
    out_ = open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (out_ < 0) raise_os_error(errno, path_);
  }

  void write_all(int fd, const void* data, std::size_t n) {
    const char* p = static_cast<const char*>(data);
    while (n > 0) {
      const ssize_t done = ::write(fd, p, n);
      if (done < 0) {
        if (errno == EINTR) continue;
        raise_os_error(errno, path_);
      }
      p += done;
      n -= static_cast<std::size_t>(done);
    }
  }

  // The temporary's bytes into the device, FIFO or socket at the path.
  void copy_in() {
    open_in_place();
    char block[1 << 16];
    for (off_t at = 0;;) {
      const ssize_t got = pread(fd_, block, sizeof block, at);
      if (got < 0) {
        if (errno == EINTR) continue;
        raise_os_error(errno, path_);
      }
      if (got == 0) return;
      write_all(out_, block, static_cast<std::size_t>(got));
      at += got;
    }
  }

  Handle path_;            // the caller's path (str), named in every error
  std::string target_;     // the file the path names, through symbolic links
  std::string temp_;       // the temporary, until renamed or removed
  int fd_ = -1;            // the temporary, open
  int out_ = -1;           // the device, FIFO or socket at the path, open
  bool in_place_ = false;  // the path is a device, FIFO or socket
  bool replaces_ = false;  // a regular file is at the path
  std::size_t written_ = 0;
};

}  // namespace zv::io
