// Words for a component in which the archive reader finds no archive: an
// empty file, a file that is no Windows program, a Windows program with
// nothing appended, or an archive cut off before its end, with the sizes.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace packprobe {

struct ArchiveDiagnosis {
  std::string code;    // "component-empty", "not-a-program", "nothing-appended", "archive-truncated"
  std::string detail;  // one English sentence with the sizes and offsets
};

// Looks at the file at path when its archive has no end record. Nothing
// when it cannot be read, or when none of the cases above fits (bytes that
// are no archive appended to a program: the reader's own words say that).
std::optional<ArchiveDiagnosis> DiagnoseMissingArchive(const std::u16string& path);

// "; its .xml entries: a.xml, b.xml" or "; it holds no .xml entry": what a
// metadata entry's absence is best read beside, from the archive's entry
// names (8-bit, as stored). At most a few names are listed.
std::string XmlEntriesNote(const std::vector<std::string>& entryNames);

}  // namespace packprobe
