// The JSON Lines report: one header line, one line per record, one closing
// line. The writer (report.h) and the reader (jsonl_reader.h) share this.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "report/report.h"

namespace packprobe::report {

// The version of the schema; it changes when a field changes meaning or
// goes away (adding fields keeps it).
inline constexpr std::string_view kJsonSchema = "packprobe-scan/4";
// The schema before warnings the policy ignored were kept (marked so).
inline constexpr std::string_view kJsonSchemaWithoutIgnored = "packprobe-scan/2";

// The header line's "options" object of a run's settings.
std::string OptionsJson(const gate::RunSettings& settings);

// The header's settings other than the share and jobs, as one text: the
// shards of one run give the same.
std::string SettingsKey(const RunHeader& header);

// A time of a signature as reports give it ("2015-06-01T00:00:00Z"), and
// back; nothing for a text of another form.
std::string SigningTimeText(std::int64_t seconds);
std::optional<std::int64_t> SigningTimeFromText(std::string_view text);

// One record as its line (without the line end).
std::string RecordJson(const ScanRecord& record);

}  // namespace packprobe::report
