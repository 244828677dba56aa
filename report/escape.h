// The escapers of every format a report is written in, one of each. Each
// takes raw bytes: what is not UTF-8 becomes U+FFFD (paths come already in
// their shown form, util/shown_text.h, which is UTF-8).
#pragma once

#include <string>
#include <string_view>

namespace packprobe::report {

// A JSON string with its quotes: '"', '\' and control characters escaped
// (as \b, \t, \n, \f, \r or \u00xx).
std::string JsonString(std::string_view raw);

// One CSV field (RFC 4180): quoted when it holds a comma, a quote or a line
// break, its quotes doubled.
std::string CsvField(std::string_view raw);

// XML 1.0 character data: markup characters as entities; control
// characters XML cannot hold (all but tab, newline, carriage return) and
// U+FFFE/U+FFFF become U+FFFD; a carriage return becomes a reference, which
// a parser keeps.
std::string XmlText(std::string_view raw);
// XML 1.0 attribute value: as XmlText, and tab and newline as references
// too (a parser turns them into spaces when they stand as they are).
std::string XmlAttribute(std::string_view raw);

// The message of a GitHub workflow command: "%", CR and LF escaped.
std::string GithubData(std::string_view raw);
// A property value of a workflow command: also ":" and ",".
std::string GithubProperty(std::string_view raw);

// Text inside a Markdown paragraph or table cell that reads well raw and
// renders as written in CommonMark and GitHub's renderer: control
// characters as the text report shows them ("\n", "\x1b"), a backslash
// before every character that could start markup there (` * _ [ ] < > | ~
// & $ \) or, at its start, a block (# > - + = and "1." or "1)"), and
// before the "." of "www." and the ":" of "://", which GitHub
// would otherwise turn into links. (A name that reads as an e-mail address
// still becomes a mail link there: no escape prevents it.)
std::string MarkdownText(std::string_view raw);

}  // namespace packprobe::report
