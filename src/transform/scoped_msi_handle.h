// Owns one installer handle and closes it when it goes out of scope.
#pragma once

#include "installer/installer_database.h"

namespace mkx::transform {

class ScopedMsiHandle {
 public:
  ScopedMsiHandle(installer::InstallerDatabase& msi, installer::MSIHANDLE handle) : msi_(msi), handle_(handle) {}
  ~ScopedMsiHandle() {
    if (handle_ != 0) msi_.MsiCloseHandle(handle_);
  }
  ScopedMsiHandle(const ScopedMsiHandle&) = delete;
  ScopedMsiHandle& operator=(const ScopedMsiHandle&) = delete;

  installer::MSIHANDLE get() const { return handle_; }

 private:
  installer::InstallerDatabase& msi_;
  installer::MSIHANDLE handle_;
};

}  // namespace mkx::transform
