// One holder per lock file: an exclusive advisory lock (flock) held from
// Acquire until the object goes away, by which one process claims something
// for the whole machine (the engine claims its system root's control socket).
#pragma once

#include <string>

namespace tarnwick {

class InstanceLock {
 public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Creates the lock file's folder (mode 0755) and the file (mode 0644) when
  // missing and takes the lock without waiting. On success the file holds
  // the caller's process id. 0 when held; 183 (already exists) when another
  // process holds it, with its id in holderPid when the file names one;
  // otherwise the system's error number.
  int Acquire(const std::string& path, int& holderPid);
  bool Held() const { return fd_ >= 0; }
  void Release();

 private:
  int fd_ = -1;
};

}  // namespace tarnwick
