#include "tests/support/program_runner_windows.h"

#include <windows.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

#include "util/text.h"

namespace packprobe::testsupport {
namespace {

std::wstring Wide(std::string_view utf8) {
  const std::u16string text = Utf8ToUtf16(utf8);
  return std::wstring(text.begin(), text.end());
}

// Quotes an argument so that the child's runtime splits the command line
// back into exactly this argument.
std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;
  }
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes are literal unless a quote follows them.
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

bool SameName(const std::wstring& entry, const std::wstring& name) {
  return entry.size() > name.size() && entry[name.size()] == L'=' &&
         CompareStringOrdinal(entry.c_str(), static_cast<int>(name.size()), name.c_str(),
                              static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
}

// The test's environment with the run's entries set on top, as a block of
// null-terminated entries ending in an empty one.
std::wstring EnvironmentBlock(const std::map<std::string, std::string>& overrides) {
  std::vector<std::wstring> entries;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (const wchar_t* p = block; *p != L'\0'; p += entries.back().size() + 1) {
      entries.emplace_back(p);
    }
    FreeEnvironmentStringsW(block);
  }
  const auto set = [&entries](const std::wstring& name, const std::wstring& value) {
    for (std::wstring& entry : entries) {
      if (SameName(entry, name)) {
        entry = name + L"=" + value;
        return;
      }
    }
    entries.push_back(name + L"=" + value);
  };
  for (const auto& [name, value] : overrides) {
    set(Wide(name), Wide(value));
    if (name == "TMPDIR") {
      set(L"TMP", Wide(value));
      set(L"TEMP", Wide(value));
    }
  }
  std::wstring result;
  for (const std::wstring& entry : entries) {
    result += entry;
    result.push_back(L'\0');
  }
  result.push_back(L'\0');
  return result;
}

// Owns a handle for the scope.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() { Close(); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }
  void Close() {
    if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
    handle_ = nullptr;
  }

 private:
  HANDLE handle_ = nullptr;
};

// A pipe whose write end the child inherits.
void CreateChildPipe(Handle& read, Handle& write) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  if (!CreatePipe(read.out(), write.out(), &inherit, 0) ||
      !SetHandleInformation(read.get(), HANDLE_FLAG_INHERIT, 0)) {
    throw std::runtime_error("CreatePipe failed");
  }
}

std::string ReadAll(HANDLE pipe) {
  std::string data;
  char buffer[65536];
  DWORD count = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) && count > 0) {
    data.append(buffer, count);
  }
  return data;
}

}  // namespace

ProgramResult RunProgramRaw(const ProgramRun& run) {
  // A path such as "/home/ci/build/PACKPROBE.EXE" is rooted on the current
  // drive; make it absolute before the working directory changes.
  const std::wstring program = std::filesystem::absolute(run.program).wstring();
  std::wstring commandLine = QuoteArgument(program);
  for (const std::string& argument : run.arguments) {
    commandLine += L" " + QuoteArgument(Wide(argument));
  }
  std::wstring environment = EnvironmentBlock(run.environment);
  const std::wstring directory = run.workingDirectory.wstring();

  Handle outRead, outWrite, errRead, errWrite;
  CreateChildPipe(outRead, outWrite);
  CreateChildPipe(errRead, errWrite);
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  Handle input(CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                           OPEN_EXISTING, 0, nullptr));

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input.get();
  startup.hStdOutput = outWrite.get();
  startup.hStdError = errWrite.get();
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                      CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(),
                      directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
    throw std::runtime_error("CreateProcessW failed with error " +
                             std::to_string(GetLastError()));
  }
  Handle processHandle(process.hProcess);
  Handle threadHandle(process.hThread);
  // Only the child may hold the write ends now, so the reads end when it does.
  outWrite.Close();
  errWrite.Close();

  ProgramResult result;
  std::thread errReader([&] { result.err = ReadAll(errRead.get()); });
  result.out = ReadAll(outRead.get());
  errReader.join();
  WaitForSingleObject(processHandle.get(), INFINITE);
  DWORD exitCode = 0;
  if (GetExitCodeProcess(processHandle.get(), &exitCode)) result.exitCode = static_cast<int>(exitCode);
  return result;
}

std::string FromChildText(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    text.push_back(bytes[i]);
  }
  if (text.empty()) return text;
  const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
  std::u16string wide(static_cast<std::size_t>(length), u'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                      reinterpret_cast<wchar_t*>(wide.data()), length);
  return Utf16ToUtf8(wide);
}

ProgramResult RunProgram(const ProgramRun& run, const std::function<void()>&) {
  ProgramResult result = RunProgramRaw(run);
  result.out = FromChildText(result.out);
  result.err = FromChildText(result.err);
  return result;
}

std::filesystem::path SourceDir() {
  const char* dir = std::getenv("PACKPROBE_SOURCE_DIR");
  // Under Wine the variable holds a Unix path such as "/home/ci/src", rooted on
  // the current drive; made absolute it gains the drive ("Z:\work\src"), so
  // that paths built on it are no options on a command line.
  return dir != nullptr ? std::filesystem::absolute(dir) : std::filesystem::current_path();
}

}  // namespace packprobe::testsupport
