#include <windows.h>

#include <string>

#include "platform/host_fault.h"
#include "platform/process.h"
#include "platform/remove_tree.h"
#include "platform/work_directory.h"

namespace packprobe::platform {

std::optional<WorkDirectory> WorkDirectory::Create(HostFault* fault) {
  HostFault ignored;
  HostFault& why = fault != nullptr ? *fault : ignored;
  why = HostFault::kNone;
  wchar_t base[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, base);
  if (length == 0 || length > MAX_PATH) {
    why = LastSystemErrorFault();
    return std::nullopt;
  }
  const std::wstring prefix =
      std::wstring(base) + L"packprobe-" + std::to_wstring(GetCurrentProcessId());
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    std::wstring path = prefix + L"-" + std::to_wstring(attempt);
    if (CreateDirectoryW(path.c_str(), nullptr)) {
      const int slot = RegisterLiveDirectory(path);
      std::u16string text = FromSystemPath(path);
      return WorkDirectory(std::move(text), std::move(path), slot);
    }
    if (GetLastError() != ERROR_ALREADY_EXISTS) {
      why = LastSystemErrorFault();
      return std::nullopt;
    }
  }
  why = HostFault::kOther;
  return std::nullopt;
}

WorkDirectory::~WorkDirectory() {
  if (native_.empty()) return;
  RemoveTree(native_);
  UnregisterLiveDirectory(slot_);
}

std::u16string WorkDirectory::PathOf(std::u16string_view name) const {
  std::u16string path = path_;
  path += u'\\';
  path += name;
  return path;
}

}  // namespace packprobe::platform
