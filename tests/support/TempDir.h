// A fresh folder under /tmp, removed with everything in it when the owner
// goes away.
#pragma once

#include <string>

namespace tarnwick::test {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets TARNWICK_SYSROOT for the lifetime of the object, restoring the old value.
class ScopedSysroot {
 public:
  explicit ScopedSysroot(const std::string& root);
  ~ScopedSysroot();
  ScopedSysroot(const ScopedSysroot&) = delete;
  ScopedSysroot& operator=(const ScopedSysroot&) = delete;

 private:
  bool had_ = false;
  std::string old_;
};

}  // namespace tarnwick::test
