#include "component/component_info.h"

namespace packprobe {

ComponentInfo::ComponentInfo(const std::u16string* path) : componentPath(path) {}

void ComponentInfo::SetStatus(int code) {
  status = code;
  switch (code) {
    case kStatusMissing:
      message = u"The component specified does not exist.";
      break;
    case kStatusInvalid:
      message = u"A valid component was not passed.";
      break;
    default:
      message = u"A system error occurred during processing.";
      break;
  }
}

}  // namespace packprobe
