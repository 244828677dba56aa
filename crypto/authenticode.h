// Who signed a program file: the check of one Authenticode signature (a
// PKCS #7 SignedData from the file's certificate table) against the file's
// Authenticode digests and the trust the user states.
//
// libcrypto checks on POSIX, CryptoAPI on Windows; both give the same facts
// in the same form. Call InitCryptography (crypto/crypto.h) once at start.
//
// Trust is what the user states and nothing else: the trust anchors are PEM
// certificates the user gives, chains are built to them for code signing,
// and the system's own store of roots is never consulted. Without anchors
// no chain is built and the facts say so (ChainCheck::kNotVerified); the
// signature itself, the file's digest and the signer's validity period are
// still checked. Certificates are judged at the time of the signature's
// timestamp when it has one that verifies, else at `now`. Revocation is not
// checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/digest.h"
#include "platform/host_fault.h"

namespace packprobe::crypto {

// What one signature amounts to. A signature is judged in this order and
// takes the first state that applies: malformed, unsupported, bad-signature,
// digest-mismatch, untrusted, expired; else it is valid.
enum class SignatureState {
  kUnsigned,        // the file has no certificate table (never a signature's own state)
  kValid,           // sound, over this file's bytes, and (with anchors) chained to one
  kDigestMismatch,  // the signature is sound but over other bytes: the file changed after signing
  kBadSignature,    // the signature, or its timestamp's, does not verify
  kUntrusted,       // no chain for code signing (or time stamping) to a trust anchor
  kExpired,         // a certificate of the chain was not valid at the signing time
  kMalformed,       // the table or the signature cannot be read as Authenticode
  kUnsupported,     // it uses a digest that this check does not know or was not given
};

// The state as the user sees it: "unsigned", "valid", "digest-mismatch",
// "bad-signature", "untrusted", "expired", "malformed", "unsupported".
std::string_view SignatureStateName(SignatureState state);

// How far the chain of the signing certificate was followed.
enum class ChainCheck {
  kNotVerified,  // not built: no trust anchors, or the signature failed before
  kVerified,     // a chain for code signing to a trust anchor, valid at the signing time
  kFailed,       // built and refused (the state says why: untrusted or expired)
};

// "not-verified", "verified", "failed".
std::string_view ChainCheckName(ChainCheck check);

// The signer against the pinned signers.
enum class PinCheck {
  kNoPins,       // no signer was pinned
  kPinned,       // the signing certificate is one of the pinned signers
  kOtherSigner,  // signers were pinned and this is none of them
};

// "none", "pinned", "other-signer".
std::string_view PinCheckName(PinCheck check);

enum class TimestampKind {
  kNone,         // no timestamp, or none that verified
  kAuthenticode, // a countersignature (1.2.840.113549.1.9.6) with its signing time
  kRfc3161,      // an RFC 3161 time-stamp token (1.3.6.1.4.1.311.3.3.1)
};

// "none", "authenticode", "rfc3161".
std::string_view TimestampKindName(TimestampKind kind);

// The facts of one signature. A signature is reported pinned or not as a
// flag beside its state, so that a signature by another signer keeps the
// state its cryptography earns and the caller's policy decides.
struct SignatureFacts {
  SignatureState state = SignatureState::kMalformed;
  std::string problem;  // one English sentence saying why, when the state is not kValid

  // The signing certificate, when the signature names one that it carries.
  std::string subject;      // as DistinguishedNameText gives it
  std::string issuer;
  std::string fingerprint;  // SHA-256 of its DER, 64 lowercase hex digits

  std::optional<DigestAlgorithm> algorithm;  // of the file digest that was signed
  TimestampKind timestamp = TimestampKind::kNone;
  std::optional<std::int64_t> signingTime;   // from the timestamp, seconds since 1970 (UTC)

  ChainCheck chain = ChainCheck::kNotVerified;
  PinCheck pin = PinCheck::kNoPins;

  // The signatures nested in this one (unauthenticated attribute
  // 1.3.6.1.4.1.311.2.4.1), each judged alone the same way, in order. They
  // do not change this signature's state.
  std::vector<SignatureFacts> nested;

  bool operator==(const SignatureFacts&) const = default;
};

// The result of a check. When fault is not kNone the system failed (no
// memory, the library not ready) and facts say nothing.
struct SignatureCheck {
  platform::HostFault fault = platform::HostFault::kNone;
  SignatureFacts facts;
};

// A pinned signer as the user writes it: 64 hexadecimal digits (either case)
// are a SHA-256 fingerprint of the signing certificate; any other text is a
// subject, compared whole with the subject as reported.
struct PinnedSigner {
  std::string fingerprint;  // 64 lowercase hex digits, or empty
  std::string subject;      // when not a fingerprint
};

PinnedSigner ParsePinnedSigner(std::string_view text);

// Whether the certificate with this fingerprint and subject is pinned.
PinCheck MatchPinnedSigners(std::span<const PinnedSigner> pins, std::string_view fingerprint,
                            std::string_view subject);

// The trust the user states, read once and shared by every check (which
// may run on several threads at once).
class TrustSettings {
 public:
  // No anchors, no pins: chains are not verified.
  TrustSettings();
  ~TrustSettings();
  TrustSettings(const TrustSettings&);
  TrustSettings& operator=(const TrustSettings&);

  struct Load;
  // Reads the trust anchors from the PEM texts (each holding one or more
  // certificates) and takes the pinned signers as ParsePinnedSigner reads
  // them.
  static Load Read(std::span<const std::string> anchorPems, std::span<const std::string> pinnedSigners);

  bool hasAnchors() const;
  std::span<const PinnedSigner> pins() const;

  // The system's store of the anchors, for the system's check alone.
  struct State;
  const State* state() const { return state_.get(); }

 private:
  std::shared_ptr<const State> state_;
  std::vector<PinnedSigner> pins_;
};

struct TrustSettings::Load {
  std::optional<TrustSettings> settings;  // when every anchor text was read
  std::size_t badAnchor = 0;              // else: the index of the text that holds no certificate
  platform::HostFault fault = platform::HostFault::kNone;     // or the system failed
};

// Checks one signature: der is one PKCS #7 blob of the certificate table,
// fileDigests the file's Authenticode digests (pe/authenticode.h) for the
// algorithms that the signature and those nested in it use (a signature
// whose algorithm is missing is kUnsupported), now the current time in
// seconds since 1970 (UTC).
SignatureCheck VerifyAuthenticode(std::span<const std::uint8_t> der,
                                  std::span<const DigestValue> fileDigests,
                                  const TrustSettings& trust, std::int64_t now);

// The file digests that checking der needs: the algorithms of the signature
// and of those nested in it, each once, as far as they can be read (nothing
// for a blob that is not a signature). Lets a caller that can read the file
// again compute just those.
std::vector<DigestAlgorithm> AuthenticodeAlgorithms(std::span<const std::uint8_t> der);

// ---------------------------------------------------------------------------
// Forms shared by both systems' checks.

// One attribute of a distinguished name: its type as a dotted object
// identifier and its value as UTF-8 text; `set` numbers the relative
// distinguished names in the order the certificate encodes them.
struct NameAttribute {
  std::size_t set = 0;
  std::string oid;
  std::string value;
};

// The name in the string form of RFC 4514: relative distinguished names
// last-encoded first, separated by ",", attributes of one set by "+", known
// types by their short names (CN, L, ST, O, OU, C, STREET, DC, UID), others
// by their dotted identifier, values escaped as RFC 4514 requires, e.g.
// "CN=Example Signer,O=Example\, Inc.,C=DE".
std::string DistinguishedNameText(std::span<const NameAttribute> attributes);

// The judgement of a signature once its certificates were checked, alike on
// both systems. StampChainFailed: after the timestamp authority's chain was
// built to the anchors (true, with the state and problem set, when it
// failed). TakeSignerChain: after the signer's chain was built to the
// anchors. TakeSignerValidity: without anchors, whether the signing
// certificate was valid at the signing time.
bool StampChainFailed(SignatureState chain, SignatureFacts& facts);
void TakeSignerChain(SignatureState chain, SignatureFacts& facts);
void TakeSignerValidity(bool valid, SignatureFacts& facts);

// Seconds since 1970 (UTC) of a calendar time; month 1-12, day 1-31.
std::int64_t SecondsFromCivil(int year, int month, int day, int hour, int minute, int second);

// A time as "2024-05-31T12:00:00Z".
std::string TimeText(std::int64_t seconds);

}  // namespace packprobe::crypto
