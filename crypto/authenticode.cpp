#include "crypto/authenticode.h"

#include <cstdio>

#include "util/ascii.h"

namespace packprobe::crypto {

std::string_view SignatureStateName(SignatureState state) {
  switch (state) {
    case SignatureState::kUnsigned: return "unsigned";
    case SignatureState::kValid: return "valid";
    case SignatureState::kDigestMismatch: return "digest-mismatch";
    case SignatureState::kBadSignature: return "bad-signature";
    case SignatureState::kUntrusted: return "untrusted";
    case SignatureState::kExpired: return "expired";
    case SignatureState::kMalformed: return "malformed";
    case SignatureState::kUnsupported: return "unsupported";
  }
  return "malformed";
}

std::string_view ChainCheckName(ChainCheck check) {
  switch (check) {
    case ChainCheck::kNotVerified: return "not-verified";
    case ChainCheck::kVerified: return "verified";
    case ChainCheck::kFailed: return "failed";
  }
  return "not-verified";
}

std::string_view PinCheckName(PinCheck check) {
  switch (check) {
    case PinCheck::kNoPins: return "none";
    case PinCheck::kPinned: return "pinned";
    case PinCheck::kOtherSigner: return "other-signer";
  }
  return "none";
}

std::string_view TimestampKindName(TimestampKind kind) {
  switch (kind) {
    case TimestampKind::kNone: return "none";
    case TimestampKind::kAuthenticode: return "authenticode";
    case TimestampKind::kRfc3161: return "rfc3161";
  }
  return "none";
}

PinnedSigner ParsePinnedSigner(std::string_view text) {
  PinnedSigner pin;
  bool hex = text.size() == 64;
  for (std::size_t i = 0; hex && i < text.size(); ++i) {
    const char c = AsciiToLower(text[i]);
    hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
  }
  if (hex) {
    for (const char c : text) pin.fingerprint += AsciiToLower(c);
  } else {
    pin.subject = std::string(text);
  }
  return pin;
}

PinCheck MatchPinnedSigners(std::span<const PinnedSigner> pins, std::string_view fingerprint,
                            std::string_view subject) {
  if (pins.empty()) return PinCheck::kNoPins;
  for (const PinnedSigner& pin : pins) {
    if (!pin.fingerprint.empty() ? pin.fingerprint == fingerprint : pin.subject == subject) {
      return PinCheck::kPinned;
    }
  }
  return PinCheck::kOtherSigner;
}

TrustSettings::TrustSettings() = default;
TrustSettings::~TrustSettings() = default;
TrustSettings::TrustSettings(const TrustSettings&) = default;
TrustSettings& TrustSettings::operator=(const TrustSettings&) = default;

std::span<const PinnedSigner> TrustSettings::pins() const { return pins_; }

namespace {

constexpr struct {
  std::string_view oid;
  std::string_view name;
} kShortNames[] = {
    {"2.5.4.3", "CN"},  {"2.5.4.7", "L"},  {"2.5.4.8", "ST"},     {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"}, {"2.5.4.6", "C"},  {"2.5.4.9", "STREET"},
    {"0.9.2342.19200300.100.1.25", "DC"}, {"0.9.2342.19200300.100.1.1", "UID"},
};

// RFC 4514, section 2.4: the characters escaped anywhere, and a leading "#"
// or space and a trailing space; other control characters as \XX.
void AppendEscaped(std::string& out, std::string_view value) {
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    const bool special = c == '"' || c == '+' || c == ',' || c == ';' || c == '<' || c == '>' ||
                         c == '\\' || (i == 0 && (c == '#' || c == ' ')) ||
                         (i + 1 == value.size() && c == ' ');
    if (special) {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "\\%02X", static_cast<unsigned char>(c));
      out += hex;
    } else {
      out += c;
    }
  }
}

}  // namespace

std::string DistinguishedNameText(std::span<const NameAttribute> attributes) {
  std::string text;
  // Sets in reverse order of encoding, attributes within a set in order.
  std::size_t end = attributes.size();
  while (end > 0) {
    std::size_t begin = end - 1;
    while (begin > 0 && attributes[begin - 1].set == attributes[end - 1].set) --begin;
    if (!text.empty()) text += ',';
    for (std::size_t i = begin; i < end; ++i) {
      if (i > begin) text += '+';
      std::string_view type = attributes[i].oid;
      for (const auto& known : kShortNames) {
        if (known.oid == type) type = known.name;
      }
      text += type;
      text += '=';
      AppendEscaped(text, attributes[i].value);
    }
    end = begin;
  }
  return text;
}

// Days from civil, after H. Hinnant's algorithm: exact over the proleptic
// Gregorian calendar, no table and no library time zone.
std::int64_t SecondsFromCivil(int year, int month, int day, int hour, int minute, int second) {
  const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yearOfEra = y - era * 400;
  const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  const std::int64_t days = era * 146097 + dayOfEra - 719468;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

std::string TimeText(std::int64_t seconds) {
  std::int64_t days = seconds / 86400;
  std::int64_t rest = seconds % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  // Civil from days, the inverse of the above.
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const std::int64_t dayOfEra = z - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t mp = (5 * dayOfYear + 2) / 153;
  const std::int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[128];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return text;
}

bool StampChainFailed(SignatureState chain, SignatureFacts& facts) {
  if (chain == SignatureState::kValid) return false;
  facts.state = chain;
  facts.chain = ChainCheck::kFailed;
  facts.problem = chain == SignatureState::kExpired
                      ? "the timestamp's certificates were not valid at its time"
                      : "no chain for time stamping leads from the timestamp to a trust anchor";
  return true;
}

void TakeSignerChain(SignatureState chain, SignatureFacts& facts) {
  facts.chain = chain == SignatureState::kValid ? ChainCheck::kVerified : ChainCheck::kFailed;
  facts.state = chain;
  if (chain == SignatureState::kUntrusted) {
    facts.problem = "no chain for code signing leads from the signer to a trust anchor";
  } else if (chain == SignatureState::kExpired) {
    facts.problem = "the signer's certificates were not valid at the signing time";
  }
}

void TakeSignerValidity(bool valid, SignatureFacts& facts) {
  facts.state = valid ? SignatureState::kValid : SignatureState::kExpired;
  if (!valid) facts.problem = "the signer's certificate was not valid at the signing time";
}

}  // namespace packprobe::crypto
