// Markdown as the renderers read it: CommonMark's reference renderer and
// GitHub's (cmark and cmark-gfm, which the set-up installs).
#include "report/escape.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "util/shown_text.h"

namespace packprobe::report {
namespace {

// The text as a Markdown renderer shows it, through the command given.
std::string Render(const std::string& command, const std::string& markdown) {
  char name[] = "/tmp/packprobe-markdown-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return "(no temporary file)";
  std::ofstream(name) << markdown;
  std::string html;
  if (std::FILE* out = popen((command + " " + name).c_str(), "r")) {
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, out)) > 0;) html.append(buffer, n);
    if (pclose(out) != 0) html = "(" + command + " failed)";
  }
  std::remove(name);
  close(fd);
  return html;
}

std::string Html(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// Names that would format, link, hide or split a cell read back as written
// in CommonMark's reference renderer and in GitHub's, in a paragraph and in
// a table cell, and raw they read as the name with a few backslashes.
TEST(EscapeTest, MarkdownRendersAsWrittenInBothRenderers) {
  const char* const texts[] = {
      "*bold* _em_ `code` ~~gone~~ $x$", "[link](http://example.com) ![img](x.png)", "<b>html</b> &amp; &#47;",
      "www.example.com and https://example.com/x", "cell | split \\| too", "back\\slash\\`", "new\nline\ttab\x1b[2K",
      "# not a heading", "1. not a list", "> not a quote", "kit.exe"};
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    const std::string escaped = MarkdownText(text);
    // Shown: the text report's form (control characters escaped).
    const std::string shown = Html(EscapeControls(text));
    EXPECT_EQ(Render("cmark", escaped), "<p>" + shown + "</p>\n");
    EXPECT_EQ(Render("cmark-gfm -e autolink -e strikethrough", escaped), "<p>" + shown + "</p>\n");
    const std::string table = Render("cmark-gfm -e table -e autolink -e strikethrough",
                                     "| a | b |\n| --- | --- |\n| " + escaped + " | x |\n");
    EXPECT_NE(table.find("<td>" + shown + "</td>\n<td>x</td>"), std::string::npos) << table;
  }
}

}  // namespace
}  // namespace packprobe::report
