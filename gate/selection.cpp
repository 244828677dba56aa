#include "gate/selection.h"

#include <filesystem>
#include <utility>

namespace packprobe::gate {
namespace {

enum class TokenKind { kLiteral, kOne, kSet, kStar, kStars, kStarsSlash };

struct Token {
  TokenKind kind;
  char literal = 0;
  std::string set;  // kSet: the characters and "a-z" ranges between the brackets
  bool negated = false;
};

Token Plain(TokenKind kind, char literal = 0) {
  Token token;
  token.kind = kind;
  token.literal = literal;
  return token;
}

std::vector<Token> Tokenize(std::string_view glob) {
  std::vector<Token> tokens;
  for (std::size_t i = 0; i < glob.size(); ++i) {
    const char c = glob[i];
    if (c == '*') {
      if (i + 1 < glob.size() && glob[i + 1] == '*') {
        ++i;
        // "**/" at the start or after a "/" also matches no folder at all.
        const bool atPart = i == 1 || glob[i - 2] == '/';
        if (atPart && i + 1 < glob.size() && glob[i + 1] == '/') {
          ++i;
          tokens.push_back(Plain(TokenKind::kStarsSlash));
        } else {
          tokens.push_back(Plain(TokenKind::kStars));
        }
      } else {
        tokens.push_back(Plain(TokenKind::kStar));
      }
    } else if (c == '?') {
      tokens.push_back(Plain(TokenKind::kOne));
    } else if (c == '\\' && i + 1 < glob.size()) {
      tokens.push_back(Plain(TokenKind::kLiteral, glob[++i]));
    } else if (c == '[') {
      std::size_t j = i + 1;
      Token token = Plain(TokenKind::kSet);
      if (j < glob.size() && (glob[j] == '!' || glob[j] == '^')) token.negated = true, ++j;
      const std::size_t first = j;
      while (j < glob.size() && (glob[j] != ']' || j == first)) ++j;
      if (j >= glob.size()) {
        tokens.push_back(Plain(TokenKind::kLiteral, c));  // not closed: a plain "["
        continue;
      }
      token.set = std::string(glob.substr(first, j - first));
      tokens.push_back(std::move(token));
      i = j;
    } else {
      tokens.push_back(Plain(TokenKind::kLiteral, c));
    }
  }
  return tokens;
}

bool InSet(const Token& token, char c) {
  bool found = false;
  const std::string& set = token.set;
  for (std::size_t i = 0; i < set.size(); ++i) {
    if (i + 2 < set.size() && set[i + 1] == '-') {
      if (set[i] <= c && c <= set[i + 2]) found = true;
      i += 2;
    } else if (set[i] == c) {
      found = true;
    }
  }
  return found != token.negated;
}

// Dynamic programming over the pattern's tokens and the text, one row at a
// time: time is the product of the lengths whatever the pattern, and no
// recursion, so no pattern can exhaust the stack.
bool Match(const std::vector<Token>& tokens, std::string_view text) {
  const std::size_t m = text.size();
  std::vector<char> next(m + 1, 0), row(m + 1, 0);
  next[m] = 1;  // the empty pattern matches the empty rest
  for (std::size_t i = tokens.size(); i-- > 0;) {
    const Token& token = tokens[i];
    for (std::size_t j = m + 1; j-- > 0;) {
      const bool more = j < m;
      bool match = false;
      switch (token.kind) {
        case TokenKind::kLiteral: match = more && text[j] == token.literal && next[j + 1]; break;
        case TokenKind::kOne: match = more && text[j] != '/' && next[j + 1]; break;
        case TokenKind::kSet: match = more && text[j] != '/' && InSet(token, text[j]) && next[j + 1]; break;
        case TokenKind::kStar: match = next[j] || (more && text[j] != '/' && row[j + 1]); break;
        case TokenKind::kStars: match = next[j] || (more && row[j + 1]); break;
        case TokenKind::kStarsSlash:
          match = next[j] || (more && ((text[j] == '/' && next[j + 1]) || row[j + 1]));
          break;
      }
      row[j] = match;
    }
    std::swap(row, next);
  }
  return next[0] != 0;
}

}  // namespace

bool GlobMatchesPath(std::string_view glob, std::string_view path) {
  if (glob.find('/') == glob.npos) {
    const std::vector<Token> tokens = Tokenize(glob);
    while (true) {
      const std::size_t slash = path.find('/');
      if (Match(tokens, path.substr(0, slash))) return true;
      if (slash == path.npos) return false;
      path.remove_prefix(slash + 1);
    }
  }
  if (glob.front() == '/') glob.remove_prefix(1);
  const std::vector<Token> tokens = Tokenize(glob);
  for (std::size_t end = path.find('/'); end != path.npos; end = path.find('/', end + 1)) {
    if (Match(tokens, path.substr(0, end))) return true;
  }
  return Match(tokens, path);
}

std::string GlobError(std::string_view glob) {
  if (glob.empty()) return "an empty pattern matches nothing";
  for (std::size_t i = 0; i < glob.size(); ++i) {
    if (glob[i] == '\\') {
      if (i + 1 == glob.size()) return "it ends in a \"\\\" that escapes nothing";
      ++i;
    } else if (glob[i] == '[') {
      std::size_t j = i + 1;
      if (j < glob.size() && (glob[j] == '!' || glob[j] == '^')) ++j;
      const std::size_t first = j;
      while (j < glob.size() && (glob[j] != ']' || j == first)) ++j;
      if (j >= glob.size()) {
        return "its \"[\" (character " + std::to_string(i + 1) + ")" +
               " is never closed by \"]\" (write \"\\[\" for the character itself)";
      }
      i = j;
    }
  }
  return {};
}

std::string JoinedPath(const std::string& folder, const std::string& path) {
  namespace fs = std::filesystem;
  const fs::path given(path);
  const fs::path joined = given.is_absolute() || folder.empty() ? given : fs::path(folder) / given;
  const std::u8string text = joined.lexically_normal().generic_u8string();
  std::string out(text.begin(), text.end());
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

std::vector<ExcludePattern> Resolved(std::vector<ExcludePattern> patterns, const std::string& currentFolder) {
  for (ExcludePattern& pattern : patterns) {
    if (!pattern.base.empty()) pattern.base = JoinedPath(currentFolder, pattern.base);
  }
  return patterns;
}

bool Excluded(const std::vector<ExcludePattern>& patterns, std::string_view relative,
              std::string_view absolute) {
  for (const ExcludePattern& pattern : patterns) {
    std::string_view path = relative;
    if (!pattern.base.empty()) {
      // Below the base, or the pattern does not apply.
      std::string_view base = pattern.base;
      while (base.size() > 1 && base.back() == '/') base.remove_suffix(1);
      if (absolute.substr(0, base.size()) != base) continue;
      path = absolute.substr(base.size());
      if (base != "/") {
        if (path.empty() || path.front() != '/') continue;
        path.remove_prefix(1);
      }
    }
    if (GlobMatchesPath(pattern.glob, path)) return true;
  }
  return false;
}

std::vector<std::string> SplitNulList(std::string_view text) {
  std::vector<std::string> paths;
  while (!text.empty()) {
    const std::size_t end = text.find('\0');
    if (end != 0) paths.emplace_back(text.substr(0, end));
    if (end == text.npos) break;
    text.remove_prefix(end + 1);
  }
  return paths;
}

std::vector<std::string> SplitPathList(std::string_view text) {
  std::vector<std::string> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    if (end == text.npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace packprobe::gate
