// File identity on Windows: the volume serial number and the file index,
// which together name one file for as long as it exists. Windows sources
// only.
#pragma once

#include <windows.h>

#include <atomic>

#include "platform/file_id.h"

namespace vexlo {

// The identity of an open file; false when the system cannot tell it.
inline bool file_id_of_handle(HANDLE h, FileId* id) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h, &info)) return false;
  id->device = info.dwVolumeSerialNumber;
  id->inode =
      (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return true;
}

// An identity that equals no real file and no other identity made here, for
// files whose identity cannot be had: two such files must never be taken for
// the same one. Volume serial numbers are 32 bits, so no real file has this
// device.
inline FileId unique_file_id() {
  static std::atomic<uint64_t> next{0};
  FileId id;
  id.device = ~uint64_t{0};
  id.inode = next++;
  return id;
}

}  // namespace vexlo
