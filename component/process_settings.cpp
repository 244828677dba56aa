#include "component/process_settings.h"

#include "xml/xml_reader.h"

namespace packprobe {

void SettleProcessSettings() { CVekXMLReader::SettleProcessSettings(); }

}  // namespace packprobe
