#include "tests/support/TempDir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace tarnwick::test {

TempDir::TempDir() {
  std::string tmpl = "/tmp/tarnwick-test-XXXXXX";
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedSysroot::ScopedSysroot(const std::string& root) {
  if (const char* v = std::getenv("TARNWICK_SYSROOT")) {
    had_ = true;
    old_ = v;
  }
  setenv("TARNWICK_SYSROOT", root.c_str(), 1);
}

ScopedSysroot::~ScopedSysroot() {
  if (had_) setenv("TARNWICK_SYSROOT", old_.c_str(), 1);
  else unsetenv("TARNWICK_SYSROOT");
}

}  // namespace tarnwick::test
