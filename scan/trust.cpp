#include "scan/trust.h"

#include <vector>

#include "gate/targets.h"
#include "platform/whole_file.h"

namespace packprobe::scan {
namespace {

// No file of certificates comes near this; a larger one is not read.
constexpr std::uint64_t kMaxTrustFile = 16u << 20;

}  // namespace

TrustLoad LoadTrust(const gate::SigningPolicy& signing) {
  TrustLoad load;
  std::vector<std::string> pems;
  for (const std::string& file : signing.trust) {
    std::string why;
    std::optional<std::string> text =
        platform::ReadWholeFile(gate::PathToUtf16(gate::PathFromUtf8(file).native()), kMaxTrustFile, why);
    if (!text) {
      load.usageError = "--trust: \"" + file + "\" " + why;
      return load;
    }
    pems.push_back(std::move(*text));
  }
  crypto::TrustSettings::Load read = crypto::TrustSettings::Read(pems, signing.signers);
  if (read.fault != platform::HostFault::kNone) {
    load.systemError = "the trust anchors could not be read: " + std::string(platform::HostFaultText(read.fault));
  } else if (!read.settings) {
    load.usageError = "--trust: \"" + signing.trust[read.badAnchor] + "\" holds no PEM certificate";
  } else {
    load.settings = std::move(read.settings);
  }
  return load;
}

}  // namespace packprobe::scan
