// The size and SHA-256 of a component file, added to its record.
#pragma once

#include "scan/scan_record.h"
#include "scan/targets.h"

namespace packprobe::scan {

// Sets the record's relative path and size and, when hash is set, its
// sha256, reading the target's file once from start to end. Meant to run
// right after the component's check, on the same thread, while the file is
// still in the system's cache. A component that was checked but could not
// be hashed becomes a system error (hash-failed): a manifest cannot judge
// it, and a missing digest must not pass for an unchanged one.
void AddFileFacts(const Target& target, bool hash, ScanRecord& record);

}  // namespace packprobe::scan
