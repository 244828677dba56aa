#include "scan/outputs.h"

#include <filesystem>
#include <system_error>

#include "gate/targets.h"
#include "util/shown_text.h"

namespace packprobe::scan {
namespace fs = std::filesystem;

namespace {

// One name for one file however it is written: the path made absolute and
// normal, through the links of the folders and the file where they exist.
fs::path Resolved(const std::string& name) {
  std::error_code error;
  const fs::path path = gate::PathFromUtf8(name);
  fs::path resolved = fs::weakly_canonical(path, error);
  if (error) resolved = fs::absolute(path, error).lexically_normal();
  return resolved;
}

}  // namespace

std::string CheckDistinctOutputs(const std::string& output,
                                 const std::vector<std::pair<report::Format, std::string>>& also,
                                 const std::string& summary) {
  std::vector<std::string> names;
  if (!output.empty()) names.push_back(output);
  for (const auto& [format, name] : also) names.push_back(name);
  if (!summary.empty()) names.push_back(summary);
  for (std::size_t i = 0; i < names.size(); ++i) {
    for (std::size_t j = i + 1; j < names.size(); ++j) {
      std::error_code error;
      if (Resolved(names[i]) == Resolved(names[j]) ||
          fs::equivalent(gate::PathFromUtf8(names[i]), gate::PathFromUtf8(names[j]), error)) {
        return "\"" + names[i] + "\" and \"" + names[j] + "\" name one file as two outputs";
      }
    }
  }
  return {};
}

void OutputFiles::Say(const std::string& message) const {
  const std::string line = program_ + ": " + EscapeControls(message) + "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void OutputFiles::SayNotWhole(const std::string& why) const {
  Say(why + "; the report is not whole" + (mainPath_.empty() ? "" : " and was not kept"));
}

bool OutputFiles::OpenMain(const std::string& path, bool hold) {
  mainPath_ = path;
  std::string error;
  if (path.empty()) {
    if (!hold) return true;
    held_ = platform::CreateSpillFile(error);
    if (!held_) {
      Say("cannot hold the report until it is whole: " + error);
      return false;
    }
    main_ = held_.get();
    return true;
  }
  if (!mainFile_.Open(gate::PathFromUtf8(path).native(), error)) {
    Say("cannot write \"" + path + "\": " + error);
    return false;
  }
  main_ = mainFile_.stream();
  return true;
}

std::FILE* OutputFiles::OpenExtra(const std::string& path) {
  Extra extra{path, std::make_unique<platform::ReplacingOutput>()};
  std::string error;
  if (!extra.file->Open(gate::PathFromUtf8(path).native(), error)) {
    Say("cannot write \"" + path + "\": " + error);
    return nullptr;
  }
  std::FILE* stream = extra.file->stream();
  extras_.push_back(std::move(extra));
  return stream;
}

bool OutputFiles::Commit(const std::string& summaryText) {
  std::string error;
  if (held_) {
    // Copied to standard output now that it is whole.
    bool copied = std::fflush(held_.get()) == 0 && std::fseek(held_.get(), 0, SEEK_SET) == 0;
    char buffer[65536];
    for (std::size_t n; copied && (n = std::fread(buffer, 1, sizeof buffer, held_.get())) > 0;) {
      copied = std::fwrite(buffer, 1, n, stdout) == n;
    }
    copied = copied && !std::ferror(held_.get()) && std::fflush(stdout) == 0;
    if (!copied) {
      Say("the report could not be written to standard output");
      return false;
    }
  } else if (!mainPath_.empty()) {
    if (!mainFile_.Commit(error)) {
      SayNotWhole("the report could not be put in place as \"" + mainPath_ + "\": " + error);
      return false;
    }
  } else if (std::fflush(stdout) != 0) {
    Say("the report could not be written to standard output");
    return false;
  }
  bool ok = true;
  for (Extra& extra : extras_) {
    if (!extra.file->Commit(error)) {
      if (ok) Say("the report \"" + extra.path + "\" is not whole and was not kept: " + error);
      ok = false;
    }
  }
  if (!summary_.empty()) {
    // Appended to (GitHub's step summary holds what the job's other steps
    // wrote); never a pipe, which could wait forever.
    std::error_code code;
    const fs::file_status status = fs::status(gate::PathFromUtf8(summary_), code);
    const bool usable = !fs::exists(status) || fs::is_regular_file(status) || fs::is_character_file(status);
    const platform::StdioFile file =
        usable ? platform::OpenStreamForAppending(gate::PathToUtf16(gate::PathFromUtf8(summary_).native()))
               : platform::StdioFile();
    std::FILE* stream = file.get();
    const bool written = stream != nullptr &&
                         std::fwrite(summaryText.data(), 1, summaryText.size(), stream) == summaryText.size() &&
                         std::fflush(stream) == 0;
    if (!written) {
      if (ok) Say("the summary \"" + summary_ + "\" could not be written" + (usable ? "" : ": it is no regular file"));
      ok = false;
    }
  }
  return ok;
}

}  // namespace packprobe::scan
