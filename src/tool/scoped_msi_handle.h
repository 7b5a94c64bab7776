// Owns one installer handle and closes it when it goes out of scope. Shared by the
// parts of the tool (driver, property update, transform output), which all hold
// handles of the installer interface.
#pragma once

#include "installer/installer_database.h"

namespace mkx::tool {

class ScopedMsiHandle {
 public:
  /// Takes `handle` (0 for none: nothing is closed).
  ScopedMsiHandle(installer::InstallerDatabase& msi, installer::MSIHANDLE handle) : msi_(msi), handle_(handle) {}
  ~ScopedMsiHandle() {
    if (handle_ != 0) msi_.MsiCloseHandle(handle_);
  }
  ScopedMsiHandle(const ScopedMsiHandle&) = delete;
  ScopedMsiHandle& operator=(const ScopedMsiHandle&) = delete;

  installer::MSIHANDLE get() const { return handle_; }
  /// Where an opening call writes the new handle (this object must hold none yet).
  installer::MSIHANDLE* out() { return &handle_; }

 private:
  installer::InstallerDatabase& msi_;
  installer::MSIHANDLE handle_;
};

}  // namespace mkx::tool
