// What the Windows program writes, byte for byte: "\r\n" line ends, the
// ANSI code page in files and pipes, and the text itself on a console, for
// a component whose display name is not Latin.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/component_builder.h"
#include "tests/support/program_runner_windows.h"
#include "tests/support/scratch_dir.h"

namespace packprobe::testsupport {
namespace {

// "日本語 Kit" in UTF-8 (for the metadata) and UTF-16 (for the screen).
const std::string kJapaneseName = "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E Kit";
const std::wstring kJapaneseNameWide = L"\u65e5\u672c\u8a9e Kit";

// The report lines after the logo, "\n" for line ends.
const std::wstring kReport = L"Component name: " + kJapaneseNameWide +
                             L"\n"
                             L"Component file: kitdemo1.exe\n"
                             L"VEKStub Version: 3.0.3.0\n"
                             L"VEKSetup Version: 7.9.1.0\n"
                             L"Component Type: Software\n"
                             L"\n"
                             L"The component passed the validation check.\n";

// text in the ANSI code page as Windows itself converts it, "\n" → "\r\n".
std::string InAnsiCodePage(const std::wstring& text) {
  std::wstring crlf;
  for (const wchar_t c : text) {
    if (c == L'\n') crlf.push_back(L'\r');
    crlf.push_back(c);
  }
  const int size = static_cast<int>(crlf.size());
  const int length = WideCharToMultiByte(CP_ACP, 0, crlf.data(), size, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, crlf.data(), size, bytes.data(), length, nullptr, nullptr);
  return bytes;
}

class OutputWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ComponentContents contents;
    contents.metadata = MetadataXml(kJapaneseName, "Software - Demonstration");
    WriteFile(cwd_ / "kitdemo1.exe", BuildComponent(contents));
  }

  ScratchDir cwd_;
  ScratchDir tmp_;
};

TEST_F(OutputWindowsTest, PipesGetCrLfLineEnds) {
  const ProgramResult r = RunProgramRaw({PACKPROBE_EXE, {"/?"}, cwd_.path(), {}});
  EXPECT_EQ(r.exitCode, 0);
  ASSERT_GT(r.out.size(), 1000u);
  for (std::size_t i = 0; i < r.out.size(); ++i) {
    if (r.out[i] == '\n') {
      ASSERT_TRUE(i > 0 && r.out[i - 1] == '\r') << "bare line feed at byte " << i;
    } else if (r.out[i] == '\r') {
      ASSERT_TRUE(i + 1 < r.out.size() && r.out[i + 1] == '\n') << "bare return at byte " << i;
    }
  }
  EXPECT_TRUE(r.out.ends_with("\r\n\r\n  PACKPROBE.EXE /?\r\n"));
}

TEST_F(OutputWindowsTest, NonLatinNameInAPipeLosesNothingElse) {
  // Under a Japanese code page the name arrives whole; under a Western one
  // as "???": either way the rest of the report follows it.
  const ProgramResult r = RunProgramRaw({PACKPROBE_EXE,
                                         {"/nologo", "kitdemo1.exe"},
                                         cwd_.path(),
                                         {{"TMPDIR", tmp_.path().string()}}});
  EXPECT_EQ(r.out, InAnsiCodePage(kReport)) << "ANSI code page " << GetACP();
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.err, "");
}

// The rows of the console screen buffer, trailing blanks removed.
std::vector<std::wstring> ConsoleRows(HANDLE console) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  std::vector<std::wstring> rows;
  if (!GetConsoleScreenBufferInfo(console, &info)) return rows;
  for (SHORT y = 0; y < info.dwSize.Y; ++y) {
    std::wstring row(static_cast<std::size_t>(info.dwSize.X), L' ');
    DWORD read = 0;
    ReadConsoleOutputCharacterW(console, row.data(), static_cast<DWORD>(row.size()), COORD{0, y},
                                &read);
    row.resize(read);
    row.erase(row.find_last_not_of(L' ') + 1);
    rows.push_back(row);
  }
  return rows;
}

TEST_F(OutputWindowsTest, AConsoleGetsTheNameItself) {
  const HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(console, &mode)) {
    // scripts/windows.sh runs this test once more on a terminal and asks
    // for it there.
    if (std::getenv("PACKPROBE_REQUIRE_CONSOLE") != nullptr) FAIL() << "no console";
    GTEST_SKIP() << "standard output is no console";
  }
  // The child shares this process's console and writes to it.
  std::wstring commandLine = L"PACKPROBE.EXE /nologo kitdemo1.exe";
  const std::wstring program = std::filesystem::absolute(PACKPROBE_EXE).wstring();
  const std::wstring directory = cwd_.path().wstring();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                             nullptr, directory.c_str(), &startup, &process));
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(exitCode, 0u);

  // The report's lines follow each other on the screen, the name whole.
  const std::vector<std::wstring> rows = ConsoleRows(console);
  std::vector<std::wstring> expected;
  for (std::size_t start = 0, end; (end = kReport.find(L'\n', start)) != kReport.npos;
       start = end + 1) {
    expected.push_back(kReport.substr(start, end - start));
  }
  bool found = false;
  for (std::size_t y = 0; !found && y + expected.size() <= rows.size(); ++y) {
    found = std::equal(expected.begin(), expected.end(), rows.begin() + static_cast<long>(y));
  }
  EXPECT_TRUE(found) << "the report is not on the console";
}

}  // namespace
}  // namespace packprobe::testsupport
