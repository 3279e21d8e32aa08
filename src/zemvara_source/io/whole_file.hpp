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
// limit, a folder that cannot be written, bad input found late) leaves the
// path as it was. The caller encodes the whole file in memory first, so that
// no library writes to the disk unchecked, then hands its bytes to write():
// 1. The path is followed through symbolic links, one link at a time, to the
//    file it names, which need not exist yet: a link to a missing file gets
//    that file, as opening the link for writing would give it. A folder is
//    refused (IsADirectoryError).
// 2. A regular file, or none: the new file is written to a hidden temporary
//    beside it (same folder, so same file system), created exclusively with
//    the mode of the file it replaces (or the process's default). A file the
//    process may not write is refused (PermissionError), not replaced.
// 3. A device, FIFO or socket cannot be replaced: it is written in place,
//    every write checked.
// 4. commit(): when it replaces a file, flush the new one to the disk first
//    (fsync), so that a crash cannot leave an empty file where the old one
//    was (a new file skips it: it costs milliseconds and protects nothing
//    that existed); check the size; close (checked: network file systems
//    report write errors there); then rename the temporary over the path in
//    one step.
// 5. A WholeFile destroyed before its commit removes its temporary.
//
// The hidden temporary's name, on which a clean-up of what a killed process
// left behind may rely:
//     <folder>/.<name>.<pid>-<n>-<time>.tmp
// <folder> and <name> are the folder and file name of the file written (for a
// symbolic link, its target's), <name> cut to its first 100 bytes; <pid> is
// the writing process's id and <n> its count of temporaries (from 1), both in
// decimal; <time> the seconds since 1970 when it was made, in lower-case
// hexadecimal. For "shots/a.png": "shots/.a.png.4711-1-67a1b2c3.tmp".
class WholeFile {
 public:
  explicit WholeFile(Handle path) : path_(path), target_(follow_links(fs_encode(path))) {  // 1
    struct stat st;
    mode_t mode = 0666;
    if (stat(target_.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) raise_os_error(EISDIR, path_);
      if (!S_ISREG(st.st_mode)) {  // 3
        in_place_ = true;
        return;
      }
      // Refused as opening it for writing would refuse it: the rename that
      // replaces it asks only for the folder's permission.
      if (faccessat(AT_FDCWD, target_.c_str(), W_OK, AT_EACCESS) != 0) raise_os_error(errno, path_);
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

  // Writes all n bytes: to the temporary, or straight into a device.
  void write(const void* data, std::size_t n) {
    if (in_place_) {
      open_in_place();
      write_all(out_, data, n);
    } else {
      write_all(fd_, data, n);
    }
    written_ += n;
  }

  // 4. The file must hold exactly the bytes given to write().
  void commit() {
    if (in_place_) {
      open_in_place();  // no bytes at all still empties it
      close_checked(out_);
      return;
    }
    if (replaces_ && fsync(fd_) != 0) raise_os_error(errno, path_);
    struct stat st;
    if (fstat(fd_, &st) != 0 || st.st_size != static_cast<off_t>(written_)) raise_os_error(EIO, path_);
    close_checked(fd_);
    if (rename(temp_.c_str(), target_.c_str()) != 0) raise_os_error(errno, path_);
    temp_.clear();
  }

 private:
  // 1. The path with its last component followed through symbolic links
  //    (realpath() fails on a link to a missing file); a relative link is
  //    taken from the folder that holds it.
  std::string follow_links(std::string path) {
    for (int hops = 0;; ++hops) {
      struct stat st;
      if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
      if (hops == 40) raise_os_error(ELOOP, path_);
      std::string link(static_cast<std::size_t>(st.st_size) + 64, '\0');
      ssize_t n;
      while ((n = readlink(path.c_str(), link.data(), link.size())) >= static_cast<ssize_t>(link.size()))
        link.resize(link.size() * 2);  // grew since lstat, or a size the file system does not report
      if (n < 0) raise_os_error(errno, path_);
      link.resize(static_cast<std::size_t>(n));
      const std::size_t slash = path.rfind('/');
      path = link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
    }
  }

  // The hidden temporary (see the class comment), made exclusively.
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

  void close_checked(int& fd) {
    const int open_fd = fd;
    fd = -1;
    if (close(open_fd) != 0) raise_os_error(errno, path_);
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
