#include "pe/version_file.h"

#include <new>

#include "platform/file.h"

namespace packprobe::platform {

bool FileInput::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
  std::size_t got = 0;
  // A file that shrank since its size was taken ends the read too.
  return file_.ReadUpTo(offset, out.data(), out.size(), &got) && got == out.size();
}

bool ReadFileVersionData(const std::u16string& path, std::vector<std::uint8_t>* data,
                         VersionInfoFailure* fault) {
  File file;
  if (!file.Open(path, File::Access::kReadShared)) {
    if (fault != nullptr) {
      fault->host = file.fault();
      fault->fault =
          fault->host != HostFault::kNone ? VersionInfoFault::kHost : VersionInfoFault::kNotAFile;
    }
    return false;
  }
  return ReadOpenFileVersionData(file, data, fault);
}

bool ReadOpenFileVersionData(File& file, std::vector<std::uint8_t>* data,
                             VersionInfoFailure* fault) {
  VersionInfoFailure ignored;
  VersionInfoFailure& why = fault != nullptr ? *fault : ignored;
  why = {};
  FileInput input(file);
  if (!input.Start()) {
    why.host = input.fault();
    why.fault = why.host != HostFault::kNone ? VersionInfoFault::kHost : VersionInfoFault::kNotAFile;
    return false;
  }
  PeVersionResult result;
  try {
    result = ReadVersionResource(input, data);
  } catch (const std::bad_alloc&) {
    why = {VersionInfoFault::kHost, HostFault::kNoMemory};
    return false;
  }
  return TranslateVersionResult(result, fault, input.fault());
}

bool TranslateVersionResult(PeVersionResult result, VersionInfoFailure* fault,
                            HostFault readFault) {
  VersionInfoFailure ignored;
  VersionInfoFailure& why = fault != nullptr ? *fault : ignored;
  why = {};
  switch (result) {
    case PeVersionResult::kOk:
      return true;
    case PeVersionResult::kNoVersionResource:
      why.fault = VersionInfoFault::kNoVersionResource;
      break;
    case PeVersionResult::kMalformed:
      why.fault = VersionInfoFault::kMalformed;
      break;
    case PeVersionResult::kReadError:
      // The file held the bytes but the system failed to deliver them.
      why = {VersionInfoFault::kHost, readFault != HostFault::kNone ? readFault : HostFault::kIo};
      break;
  }
  return false;
}

std::unique_ptr<std::uint8_t[]> AllocateVersionBlock(std::size_t capacity,
                                                     VersionInfoFailure* fault) {
  std::unique_ptr<std::uint8_t[]> bytes(new (std::nothrow) std::uint8_t[capacity]());
  if (!bytes && fault != nullptr) *fault = {VersionInfoFault::kHost, HostFault::kNoMemory};
  return bytes;
}

}  // namespace packprobe::platform
