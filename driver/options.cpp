#include "driver/options.h"

#include <array>
#include <optional>
#include <string_view>

namespace packprobe {
namespace {

constexpr std::array<std::u16string_view, 6> kFlagOptions = {
    u"/nologo", u"/?", u"/help", u"/fwonly", u"/swonly", u"/verbose"};

constexpr std::array<std::u16string_view, 5> kValueOptions = {
    u"/stubmin", u"/stubmax", u"/setupmin", u"/setupmax", u"/componentlist"};

bool Contains(std::u16string_view text, std::u16string_view part) {
  return text.find(part) != std::u16string_view::npos;
}

// An absolute POSIX path that no option test would claim.
bool IsSlashPath(std::u16string_view argument) {
  if (argument.size() < 2 || argument[0] != u'/' || argument.find(u'/', 1) == argument.npos) {
    return false;
  }
  for (std::u16string_view flag : kFlagOptions) {
    if (argument == flag) return false;
  }
  for (std::u16string_view option : kValueOptions) {
    if (Contains(argument, option)) return false;
  }
  return true;
}

// The text after the argument's first colon, or nothing without a colon.
std::optional<std::u16string_view> ValueAfterColon(std::u16string_view argument) {
  const std::size_t colon = argument.find(u':');
  if (colon == argument.npos) return std::nullopt;
  return argument.substr(colon + 1);
}

// Applies a version option when the argument names it; false when the
// argument names it but its value is missing, empty, negative or longer
// than a version number can hold.
bool ApplyVersionOption(std::u16string_view argument, std::u16string_view name,
                        VersionNumber& bound) {
  if (!Contains(argument, name)) return true;
  const auto value = ValueAfterColon(argument);
  if (!value || CountVersionDigits(*value) > kMaxVersionDigits) return false;
  bound = ParseVersionNumber(*value);
  return bound >= 0;
}

}  // namespace

bool ParseCommandLine(std::span<const std::u16string> arguments, CheckOptions& options,
                      bool slashStartsAbsolutePaths) {
  options = CheckOptions{};
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::u16string_view argument = arguments[i];
    const char16_t first = argument.empty() ? u'\0' : argument[0];
    if ((first != u'/' && first != u'-') ||
        (slashStartsAbsolutePaths && IsSlashPath(argument))) {
      options.componentName = argument;
    }
    if (!ApplyVersionOption(argument, u"/stubmin", options.stubMin) ||
        !ApplyVersionOption(argument, u"/stubmax", options.stubMax) ||
        !ApplyVersionOption(argument, u"/setupmin", options.setupMin) ||
        !ApplyVersionOption(argument, u"/setupmax", options.setupMax)) {
      return false;
    }
    if (argument == u"/nologo") options.noLogo = true;
    if (argument == u"/?" || argument == u"/help") options.help = true;
    if (argument == u"/fwonly") options.firmwareOnly = true;
    if (argument == u"/swonly") options.softwareOnly = true;
    if (argument == u"/verbose") options.verbose = true;
    if (Contains(argument, u"/componentlist")) {
      const auto value = ValueAfterColon(argument);
      if (!value || value->empty()) return false;
      options.componentList = *value;
    }
  }
  if (options.firmwareOnly && options.softwareOnly) {
    options.firmwareOnly = options.softwareOnly = false;
  }
  if (!options.componentName.empty()) {
    options.componentList.clear();
    return true;
  }
  return !options.componentList.empty() || options.help;
}

}  // namespace packprobe
