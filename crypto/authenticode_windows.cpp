// The signature check on CryptoAPI: CryptMsg for the signature, its
// countersignature and RFC 3161 tokens, CryptDecodeObjectEx for what they
// carry (wintrust's decoder for the signed content), a chain engine whose
// exclusive roots are the user's anchors where the system has such engines,
// else the anchors as an extra store and the chain walked to one of them.
#include <windows.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>

#include "crypto/authenticode.h"
#include "util/text.h"

namespace packprobe::crypto {
namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr char kSpcNestedSignature[] = "1.3.6.1.4.1.311.2.4.1";
constexpr char kSpcRfc3161[] = "1.3.6.1.4.1.311.3.3.1";
constexpr char kTstInfo[] = "1.2.840.113549.1.9.16.1.4";
// Nested signatures are read one level deep (as Windows lists them), at
// most this many: a bound on the work a crafted table can ask for.
constexpr std::size_t kMaxNested = 16;
constexpr std::int64_t kFileTimeEpoch = 11644473600;  // 1601-01-01 to 1970-01-01, in seconds

struct MsgCloser {
  void operator()(void* msg) const { CryptMsgClose(msg); }
};
using MsgPtr = std::unique_ptr<void, MsgCloser>;
struct StoreCloser {
  void operator()(void* store) const { CertCloseStore(store, 0); }
};
using StorePtr = std::unique_ptr<void, StoreCloser>;
struct CertFree {
  void operator()(const CERT_CONTEXT* cert) const { CertFreeCertificateContext(cert); }
};
using CertPtr = std::unique_ptr<const CERT_CONTEXT, CertFree>;
struct ChainFree {
  void operator()(const CERT_CHAIN_CONTEXT* chain) const { CertFreeCertificateChain(chain); }
};
using ChainPtr = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;
struct LocalFreer {
  void operator()(void* p) const { LocalFree(p); }
};
template <typename T>
using Decoded = std::unique_ptr<T, LocalFreer>;

// The state of one check: the fault that ends it, if any. CryptoAPI says
// "no memory" through the last error; every other failure is the data's.
struct Run {
  platform::HostFault fault = platform::HostFault::kNone;

  bool HostFailed() {
    const DWORD error = GetLastError();
    if (error == ERROR_NOT_ENOUGH_MEMORY || error == ERROR_OUTOFMEMORY ||
        error == static_cast<DWORD>(E_OUTOFMEMORY)) {
      fault = platform::HostFault::kNoMemory;
    }
    return fault != platform::HostFault::kNone;
  }
};

std::span<const std::uint8_t> BytesOf(const CRYPT_DATA_BLOB& blob) {
  return {blob.pbData, blob.cbData};
}

template <typename T>
Decoded<T> Decode(LPCSTR type, std::span<const std::uint8_t> der) {
  void* out = nullptr;
  DWORD size = 0;
  if (der.size() > std::numeric_limits<DWORD>::max() ||
      !CryptDecodeObjectEx(kEncoding, type, der.data(), static_cast<DWORD>(der.size()),
                           CRYPT_DECODE_ALLOC_FLAG, nullptr, &out, &size)) {
    return nullptr;
  }
  return Decoded<T>(static_cast<T*>(out));
}

// A parameter of a message, or nothing (the last error says why).
std::optional<std::vector<std::uint8_t>> MessageParam(HCRYPTMSG msg, DWORD type, DWORD index = 0) {
  DWORD size = 0;
  if (!CryptMsgGetParam(msg, type, index, nullptr, &size)) return std::nullopt;
  std::vector<std::uint8_t> bytes(size);
  if (!CryptMsgGetParam(msg, type, index, bytes.data(), &size)) return std::nullopt;
  bytes.resize(size);
  return bytes;
}

std::string Utf8(const wchar_t* text) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(text)));
}

std::string NameText(const CERT_NAME_BLOB& name) {
  std::vector<NameAttribute> attributes;
  const Decoded<CERT_NAME_INFO> info = Decode<CERT_NAME_INFO>(X509_NAME, BytesOf(name));
  if (!info) return {};
  for (DWORD i = 0; i < info->cRDN; ++i) {
    for (DWORD j = 0; j < info->rgRDN[i].cRDNAttr; ++j) {
      CERT_RDN_ATTR& attribute = info->rgRDN[i].rgRDNAttr[j];
      const DWORD length = CertRDNValueToStrW(attribute.dwValueType, &attribute.Value, nullptr, 0);
      std::wstring value(length, L'\0');
      CertRDNValueToStrW(attribute.dwValueType, &attribute.Value, value.data(), length);
      attributes.push_back({i, attribute.pszObjId, Utf8(value.c_str())});
    }
  }
  return DistinguishedNameText(attributes);
}

std::int64_t SecondsOf(const FILETIME& time) {
  const std::uint64_t ticks = std::uint64_t{time.dwHighDateTime} << 32 | time.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000) - kFileTimeEpoch;
}

FILETIME FileTimeOf(std::int64_t seconds) {
  const std::uint64_t ticks =
      static_cast<std::uint64_t>(std::max<std::int64_t>(seconds + kFileTimeEpoch, 0)) * 10000000;
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

bool SameBytes(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end());
}

// The value of the first attribute of type oid, if any.
const CRYPT_ATTR_BLOB* FirstValue(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
  for (DWORD i = 0; i < attributes.cAttr; ++i) {
    if (std::strcmp(attributes.rgAttr[i].pszObjId, oid) == 0 && attributes.rgAttr[i].cValue > 0) {
      return &attributes.rgAttr[i].rgValue[0];
    }
  }
  return nullptr;
}

std::vector<std::span<const std::uint8_t>> AllValues(const CRYPT_ATTRIBUTES& attributes, const char* oid) {
  std::vector<std::span<const std::uint8_t>> values;
  for (DWORD i = 0; i < attributes.cAttr; ++i) {
    if (std::strcmp(attributes.rgAttr[i].pszObjId, oid) != 0) continue;
    for (DWORD j = 0; j < attributes.rgAttr[i].cValue; ++j) {
      values.push_back(BytesOf(attributes.rgAttr[i].rgValue[j]));
    }
  }
  return values;
}

// A SignedData opened for reading, with its one signer.
struct Message {
  MsgPtr msg;
  StorePtr store;                   // the certificates it carries
  std::vector<std::uint8_t> content;  // the signed content's DER as the message gives it
  std::vector<std::uint8_t> signerBytes;
  const CMSG_SIGNER_INFO* signer = nullptr;
};

// Opens der as a SignedData of content type contentOid with one signer; an
// empty result with *problem set when it is none (or the run's fault).
std::optional<Message> OpenMessage(Run& run, std::span<const std::uint8_t> der,
                                   const char* contentOid, std::string* problem) {
  Message message;
  message.msg.reset(CryptMsgOpenToDecode(kEncoding, 0, 0, 0, nullptr, nullptr));
  if (!message.msg) {
    run.HostFailed();
    if (run.fault == platform::HostFault::kNone) run.fault = platform::HostFault::kOther;
    return std::nullopt;
  }
  DWORD type = 0, size = sizeof type;
  if (der.size() > std::numeric_limits<DWORD>::max() ||
      !CryptMsgUpdate(message.msg.get(), der.data(), static_cast<DWORD>(der.size()), TRUE) ||
      !CryptMsgGetParam(message.msg.get(), CMSG_TYPE_PARAM, 0, &type, &size) || type != CMSG_SIGNED) {
    if (!run.HostFailed()) *problem = "the signature is not a PKCS #7 SignedData";
    return std::nullopt;
  }
  const auto inner = MessageParam(message.msg.get(), CMSG_INNER_CONTENT_TYPE_PARAM);
  if (!inner || inner->empty() || inner->back() != '\0' ||
      std::strcmp(reinterpret_cast<const char*>(inner->data()), contentOid) != 0) {
    if (!run.HostFailed()) *problem = "the signature does not sign Authenticode content";
    return std::nullopt;
  }
  DWORD signers = 0;
  size = sizeof signers;
  if (!CryptMsgGetParam(message.msg.get(), CMSG_SIGNER_COUNT_PARAM, 0, &signers, &size) ||
      signers != 1) {
    if (!run.HostFailed()) *problem = "the signature does not have exactly one signer";
    return std::nullopt;
  }
  auto content = MessageParam(message.msg.get(), CMSG_CONTENT_PARAM);
  auto signerBytes = MessageParam(message.msg.get(), CMSG_SIGNER_INFO_PARAM);
  message.store.reset(CertOpenStore(CERT_STORE_PROV_MSG, kEncoding, 0, 0, message.msg.get()));
  if (!content || !signerBytes || !message.store) {
    if (!run.HostFailed()) *problem = "the signature's content or signer cannot be read";
    return std::nullopt;
  }
  message.content = std::move(*content);
  message.signerBytes = std::move(*signerBytes);
  message.signer = reinterpret_cast<const CMSG_SIGNER_INFO*>(message.signerBytes.data());
  return message;
}

// The content octets of a DER SEQUENCE (what a messageDigest attribute
// covers): its elements, each as encoded, one after another.
std::optional<std::vector<std::uint8_t>> SequenceContent(std::span<const std::uint8_t> der) {
  const Decoded<CRYPT_SEQUENCE_OF_ANY> sequence = Decode<CRYPT_SEQUENCE_OF_ANY>(X509_SEQUENCE_OF_ANY, der);
  if (!sequence) return std::nullopt;
  std::vector<std::uint8_t> octets;
  for (DWORD i = 0; i < sequence->cValue; ++i) {
    const auto value = BytesOf(sequence->rgValue[i]);
    octets.insert(octets.end(), value.begin(), value.end());
  }
  return octets;
}

CertPtr SignerCertificate(const Message& message, const CMSG_SIGNER_INFO& signer) {
  CERT_INFO wanted{};
  wanted.Issuer = signer.Issuer;
  wanted.SerialNumber = signer.SerialNumber;
  return CertPtr(CertGetSubjectCertificateFromStore(message.store.get(), kEncoding, &wanted));
}

// The signer's signature over its authenticated attributes, and their
// messageDigest against the digest of `signedOctets`.
bool SignatureVerifies(Run& run, const Message& message, const CERT_CONTEXT* certificate,
                       std::span<const std::uint8_t> signedOctets) {
  if (!CryptMsgControl(message.msg.get(), 0, CMSG_CTRL_VERIFY_SIGNATURE, certificate->pCertInfo)) {
    run.HostFailed();
    return false;
  }
  const CRYPT_ATTR_BLOB* attribute =
      FirstValue(message.signer->AuthAttrs, szOID_PKCS_9_MESSAGE_DIGEST);
  const std::optional<DigestAlgorithm> algorithm =
      DigestAlgorithmFromOid(message.signer->HashAlgorithm.pszObjId);
  if (attribute == nullptr || !algorithm) return false;
  const Decoded<CRYPT_DATA_BLOB> expected = Decode<CRYPT_DATA_BLOB>(X509_OCTET_STRING, BytesOf(*attribute));
  const std::optional<DigestValue> digest = DigestOf(*algorithm, signedOctets);
  if (!digest) {
    run.fault = platform::HostFault::kNoMemory;
    return false;
  }
  return expected && SameBytes(BytesOf(*expected), digest->bytes());
}

}  // namespace

struct TrustSettings::State {
  StorePtr anchors;
  HCERTCHAINENGINE engine = nullptr;
  ~State() {
    if (engine != nullptr) CertFreeCertificateChainEngine(engine);
  }
};

namespace {

bool IsAnchor(const TrustSettings::State& trust, const CERT_CONTEXT* certificate) {
  CertPtr found(CertFindCertificateInStore(trust.anchors.get(), kEncoding, 0, CERT_FIND_EXISTING,
                                           certificate, nullptr));
  return found != nullptr;
}

// Builds the chain of certificate for usage at time to an anchor: kValid,
// kUntrusted or kExpired. The chain is walked from the certificate up to
// the first anchor in it; only the problems of that part count, and an
// anchor that the system does not take for a root is still the user's.
SignatureState VerifyChain(Run& run, const TrustSettings::State& trust, const CERT_CONTEXT* certificate,
                           HCERTSTORE extra, const char* usage, std::int64_t time) {
  LPSTR usages[] = {const_cast<LPSTR>(usage)};
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  FILETIME at = FileTimeOf(time);
  const CERT_CHAIN_CONTEXT* raw = nullptr;
  if (!CertGetCertificateChain(trust.engine, certificate, &at, extra, &parameters,
                               CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE, nullptr, &raw)) {
    run.HostFailed();
    return SignatureState::kUntrusted;
  }
  ChainPtr chain(raw);
  constexpr DWORD kIgnored = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION |
                             CERT_TRUST_IS_NOT_TIME_NESTED | CERT_TRUST_IS_UNTRUSTED_ROOT |
                             CERT_TRUST_IS_PARTIAL_CHAIN;
  if (chain->cChain == 0) return SignatureState::kUntrusted;
  const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
  DWORD problems = chain->TrustStatus.dwErrorStatus & CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
  for (DWORD i = 0; i < simple->cElement; ++i) {
    const CERT_CHAIN_ELEMENT* element = simple->rgpElement[i];
    problems |= element->TrustStatus.dwErrorStatus & ~kIgnored;
    if (IsAnchor(trust, element->pCertContext)) {
      if (problems == 0) return SignatureState::kValid;
      return (problems & ~CERT_TRUST_IS_NOT_TIME_VALID) == 0 ? SignatureState::kExpired
                                                            : SignatureState::kUntrusted;
    }
  }
  return SignatureState::kUntrusted;
}

// The time and the certificate of a verified timestamp, or why it failed.
struct Timestamp {
  TimestampKind kind = TimestampKind::kNone;
  std::int64_t time = 0;
  std::optional<Message> token;  // an RFC 3161 token, whose store holds its authority
  CertPtr authority;
  SignatureState failure = SignatureState::kValid;
  std::string problem;

  void Fail(std::string why) {
    failure = SignatureState::kBadSignature;
    problem = std::move(why);
  }
};

// The MessageImprint of a TSTInfo (SEQUENCE { hashAlgorithm, hashedMessage
// }). CryptoAPI decodes an AlgorithmIdentifier alone on some systems only
// (Wine has no such decoder), but the imprint has the shape of the
// DigestInfo in Authenticode's signed content, which every system decodes
// through wintrust: so it is read as the digest of a SpcIndirectDataContent
// made of the signature's own first field and the imprint.
Decoded<SPC_INDIRECT_DATA_CONTENT> ImprintOf(const Message& message, std::span<const std::uint8_t> imprint) {
  const Decoded<CRYPT_SEQUENCE_OF_ANY> content =
      Decode<CRYPT_SEQUENCE_OF_ANY>(X509_SEQUENCE_OF_ANY, message.content);
  if (!content || content->cValue != 2 || imprint.size() > std::numeric_limits<DWORD>::max()) return nullptr;
  CRYPT_DER_BLOB parts[] = {content->rgValue[0],
                            {static_cast<DWORD>(imprint.size()), const_cast<BYTE*>(imprint.data())}};
  CRYPT_SEQUENCE_OF_ANY sequence{2, parts};
  void* encoded = nullptr;
  DWORD size = 0;
  if (!CryptEncodeObjectEx(kEncoding, X509_SEQUENCE_OF_ANY, &sequence, CRYPT_ENCODE_ALLOC_FLAG, nullptr,
                           &encoded, &size)) {
    return nullptr;
  }
  const Decoded<BYTE> owner(static_cast<BYTE*>(encoded));
  return Decode<SPC_INDIRECT_DATA_CONTENT>(SPC_INDIRECT_DATA_CONTENT_STRUCT, {owner.get(), size});
}

// An RFC 3161 token over the signature value: the imprint, the token's
// signature, its time.
void ReadRfc3161(Run& run, const Message& message, std::span<const std::uint8_t> der, Timestamp* stamp) {
  stamp->kind = TimestampKind::kRfc3161;
  std::string problem;
  stamp->token = OpenMessage(run, der, kTstInfo, &problem);
  if (!stamp->token) {
    if (run.fault == platform::HostFault::kNone) stamp->Fail("the timestamp is not an RFC 3161 token");
    return;
  }
  // The TSTInfo, from its eContent OCTET STRING where the system leaves it
  // wrapped.
  std::span<const std::uint8_t> info = stamp->token->content;
  Decoded<CRYPT_DATA_BLOB> unwrapped;
  if (!info.empty() && info[0] == 0x04) {
    unwrapped = Decode<CRYPT_DATA_BLOB>(X509_OCTET_STRING, info);
    if (unwrapped) info = BytesOf(*unwrapped);
  }
  // TSTInfo ::= SEQUENCE { version, policy, messageImprint, serialNumber,
  // genTime, ... }.
  const Decoded<CRYPT_SEQUENCE_OF_ANY> fields = Decode<CRYPT_SEQUENCE_OF_ANY>(X509_SEQUENCE_OF_ANY, info);
  Decoded<FILETIME> genTime;
  Decoded<SPC_INDIRECT_DATA_CONTENT> imprint;
  if (fields && fields->cValue >= 5) {
    genTime = Decode<FILETIME>(X509_CHOICE_OF_TIME, BytesOf(fields->rgValue[4]));
    imprint = ImprintOf(message, BytesOf(fields->rgValue[2]));
  }
  const std::optional<DigestAlgorithm> which =
      imprint ? DigestAlgorithmFromOid(imprint->DigestAlgorithm.pszObjId) : std::nullopt;
  if (!genTime || !which) {
    if (!run.HostFailed()) stamp->Fail("the timestamp's imprint or time cannot be read");
    return;
  }
  const std::optional<DigestValue> digest = DigestOf(*which, BytesOf(message.signer->EncryptedHash));
  if (!digest) {
    run.fault = platform::HostFault::kNoMemory;
    return;
  }
  if (!SameBytes(BytesOf(imprint->Digest), digest->bytes())) {
    stamp->Fail("the timestamp is not over this signature");
    return;
  }
  stamp->authority = SignerCertificate(*stamp->token, *stamp->token->signer);
  if (!stamp->authority) stamp->authority = SignerCertificate(message, *stamp->token->signer);
  if (!stamp->authority || !SignatureVerifies(run, *stamp->token, stamp->authority.get(), info)) {
    if (run.fault == platform::HostFault::kNone) stamp->Fail("the timestamp's signature does not verify");
    return;
  }
  stamp->time = SecondsOf(*genTime);
}

// A legacy countersignature over the signature value, verified by the
// system against the encoded signer, with its signing time.
void ReadCounterSignature(Run& run, const Message& message, std::span<const std::uint8_t> der,
                          Timestamp* stamp) {
  stamp->kind = TimestampKind::kAuthenticode;
  const Decoded<CMSG_SIGNER_INFO> counter = Decode<CMSG_SIGNER_INFO>(PKCS7_SIGNER_INFO, der);
  const auto encodedSigner = MessageParam(message.msg.get(), CMSG_ENCODED_SIGNER);
  if (!counter || !encodedSigner) {
    if (!run.HostFailed()) stamp->Fail("the countersignature cannot be read");
    return;
  }
  const CRYPT_ATTR_BLOB* signingTime = FirstValue(counter->AuthAttrs, szOID_RSA_signingTime);
  const Decoded<FILETIME> time =
      signingTime != nullptr ? Decode<FILETIME>(X509_CHOICE_OF_TIME, BytesOf(*signingTime)) : nullptr;
  stamp->authority = SignerCertificate(message, *counter);
  if (!stamp->authority || !time) {
    stamp->Fail("the countersignature's signer or time cannot be read");
    return;
  }
  if (!CryptMsgVerifyCountersignatureEncoded(
          0, kEncoding, const_cast<BYTE*>(encodedSigner->data()), static_cast<DWORD>(encodedSigner->size()),
          const_cast<BYTE*>(der.data()), static_cast<DWORD>(der.size()), stamp->authority->pCertInfo)) {
    if (!run.HostFailed()) stamp->Fail("the countersignature does not verify");
    return;
  }
  stamp->time = SecondsOf(*time);
}

Timestamp ReadTimestamp(Run& run, const Message& message, const CRYPT_ATTRIBUTES* unauthenticated) {
  Timestamp stamp;
  if (unauthenticated == nullptr) return stamp;
  if (const CRYPT_ATTR_BLOB* token = FirstValue(*unauthenticated, kSpcRfc3161)) {
    ReadRfc3161(run, message, BytesOf(*token), &stamp);
  } else if (const CRYPT_ATTR_BLOB* counter = FirstValue(*unauthenticated, szOID_RSA_counterSign)) {
    ReadCounterSignature(run, message, BytesOf(*counter), &stamp);
  }
  return stamp;
}

// A signature read as far as Authenticode needs before any check.
struct Parsed {
  explicit Parsed(Message opened) : message(std::move(opened)) {}

  Message message;
  std::vector<std::uint8_t> signedOctets;  // what the messageDigest attribute covers
  std::optional<DigestAlgorithm> algorithm;
  std::string algorithmOid;
  std::vector<std::uint8_t> signedDigest;
  std::vector<std::uint8_t> unauthenticatedBytes;
  const CRYPT_ATTRIBUTES* unauthenticated = nullptr;
};

std::optional<Parsed> Parse(Run& run, std::span<const std::uint8_t> der, std::string* problem) {
  std::optional<Message> message = OpenMessage(run, der, SPC_INDIRECT_DATA_OBJID, problem);
  if (!message) return std::nullopt;
  Parsed parsed(std::move(*message));
  const Decoded<SPC_INDIRECT_DATA_CONTENT> indirect =
      Decode<SPC_INDIRECT_DATA_CONTENT>(SPC_INDIRECT_DATA_CONTENT_STRUCT, parsed.message.content);
  std::optional<std::vector<std::uint8_t>> octets = SequenceContent(parsed.message.content);
  if (!indirect || !octets) {
    if (!run.HostFailed()) *problem = "the signed content is not a SpcIndirectDataContent";
    return std::nullopt;
  }
  if (indirect->Data.pszObjId == nullptr || std::strcmp(indirect->Data.pszObjId, SPC_PE_IMAGE_DATA_OBJID) != 0) {
    *problem = "the signature is not for a program file";
    return std::nullopt;
  }
  parsed.signedOctets = std::move(*octets);
  parsed.algorithmOid = indirect->DigestAlgorithm.pszObjId != nullptr ? indirect->DigestAlgorithm.pszObjId : "";
  parsed.algorithm = DigestAlgorithmFromOid(parsed.algorithmOid);
  const auto digest = BytesOf(indirect->Digest);
  parsed.signedDigest.assign(digest.begin(), digest.end());
  if (auto attributes = MessageParam(parsed.message.msg.get(), CMSG_SIGNER_UNAUTH_ATTR_PARAM)) {
    parsed.unauthenticatedBytes = std::move(*attributes);
    parsed.unauthenticated = reinterpret_cast<const CRYPT_ATTRIBUTES*>(parsed.unauthenticatedBytes.data());
  } else if (run.HostFailed()) {
    return std::nullopt;
  }
  return parsed;
}

SignatureFacts Check(Run& run, std::span<const std::uint8_t> der,
                     std::span<const DigestValue> fileDigests, const TrustSettings& trust,
                     std::int64_t now, bool readNested) {
  SignatureFacts facts;
  std::optional<Parsed> parsed = Parse(run, der, &facts.problem);
  if (!parsed) {
    facts.state = SignatureState::kMalformed;
    return facts;
  }
  const Message& message = parsed->message;
  facts.algorithm = parsed->algorithm;

  if (readNested && parsed->unauthenticated != nullptr) {
    for (const auto nested : AllValues(*parsed->unauthenticated, kSpcNestedSignature)) {
      if (facts.nested.size() == kMaxNested) break;
      facts.nested.push_back(Check(run, nested, fileDigests, trust, now, false));
      if (run.fault != platform::HostFault::kNone) return facts;
    }
  }

  const CertPtr signer = SignerCertificate(message, *message.signer);
  if (!signer) {
    facts.state = SignatureState::kMalformed;
    facts.problem = "the signature does not carry its signer's certificate";
    return facts;
  }
  facts.subject = NameText(signer->pCertInfo->Subject);
  facts.issuer = NameText(signer->pCertInfo->Issuer);
  const std::optional<DigestValue> fingerprint =
      DigestOf(DigestAlgorithm::kSha256, {signer->pbCertEncoded, signer->cbCertEncoded});
  if (!fingerprint) {
    run.fault = platform::HostFault::kNoMemory;
    return facts;
  }
  facts.fingerprint = HexDigits(fingerprint->bytes());
  facts.pin = MatchPinnedSigners(trust.pins(), facts.fingerprint, facts.subject);

  if (!parsed->algorithm) {
    facts.state = SignatureState::kUnsupported;
    facts.problem = "the file digest's algorithm (" + parsed->algorithmOid + ") is not supported";
    return facts;
  }
  const auto fileDigest = std::find_if(fileDigests.begin(), fileDigests.end(),
                                       [&](const DigestValue& d) { return d.algorithm == *parsed->algorithm; });
  if (fileDigest == fileDigests.end()) {
    facts.state = SignatureState::kUnsupported;
    facts.problem = "no " + std::string(AlgorithmInfo(*parsed->algorithm).name) +
                    " digest of the file was computed";
    return facts;
  }
  if (!SignatureVerifies(run, message, signer.get(), parsed->signedOctets)) {
    if (run.fault != platform::HostFault::kNone) return facts;
    facts.state = SignatureState::kBadSignature;
    facts.problem = "the signature does not verify";
    return facts;
  }
  if (!SameBytes(parsed->signedDigest, fileDigest->bytes())) {
    facts.state = SignatureState::kDigestMismatch;
    facts.problem = "the file's digest is not the one signed: the file changed after signing";
    return facts;
  }

  const TrustSettings::State* anchors = trust.hasAnchors() ? trust.state() : nullptr;
  const Timestamp stamp = ReadTimestamp(run, message, parsed->unauthenticated);
  if (run.fault != platform::HostFault::kNone) return facts;
  if (stamp.failure != SignatureState::kValid) {
    facts.state = stamp.failure;
    facts.problem = stamp.problem;
    return facts;
  }
  if (stamp.kind != TimestampKind::kNone) {
    if (anchors != nullptr) {
      // The authority's chain may be in the token or beside the signer's.
      StorePtr extra(CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
      if (!extra || !CertAddStoreToCollection(extra.get(), message.store.get(), 0, 0) ||
          (stamp.token && !CertAddStoreToCollection(extra.get(), stamp.token->store.get(), 0, 0))) {
        run.fault = platform::HostFault::kNoMemory;
        return facts;
      }
      const SignatureState stampChain = VerifyChain(run, *anchors, stamp.authority.get(), extra.get(),
                                                    szOID_PKIX_KP_TIMESTAMP_SIGNING, stamp.time);
      if (run.fault != platform::HostFault::kNone) return facts;
      if (StampChainFailed(stampChain, facts)) return facts;
    }
    facts.timestamp = stamp.kind;
    facts.signingTime = stamp.time;
  }

  const std::int64_t at = facts.signingTime.value_or(now);
  if (anchors != nullptr) {
    const SignatureState chain = VerifyChain(run, *anchors, signer.get(), message.store.get(),
                                             szOID_PKIX_KP_CODE_SIGNING, at);
    if (run.fault != platform::HostFault::kNone) return facts;
    TakeSignerChain(chain, facts);
    return facts;
  }
  FILETIME time = FileTimeOf(at);
  TakeSignerValidity(CertVerifyTimeValidity(&time, signer->pCertInfo) == 0, facts);
  return facts;
}

void CollectAlgorithms(std::span<const std::uint8_t> der, bool readNested,
                       std::vector<DigestAlgorithm>* algorithms) {
  Run run;
  std::string problem;
  const std::optional<Parsed> parsed = Parse(run, der, &problem);
  if (!parsed) return;
  if (parsed->algorithm &&
      std::find(algorithms->begin(), algorithms->end(), *parsed->algorithm) == algorithms->end()) {
    algorithms->push_back(*parsed->algorithm);
  }
  if (!readNested || parsed->unauthenticated == nullptr) return;
  std::size_t count = 0;
  for (const auto nested : AllValues(*parsed->unauthenticated, kSpcNestedSignature)) {
    if (count++ == kMaxNested) break;
    CollectAlgorithms(nested, false, algorithms);
  }
}

// The DER of each "CERTIFICATE" block of a PEM text, in order; a block
// whose Base64 does not decode ends the list.
std::vector<std::vector<std::uint8_t>> PemCertificates(const std::string& text) {
  static constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  static constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  std::vector<std::vector<std::uint8_t>> certificates;
  std::size_t at = 0;
  for (;;) {
    const std::size_t begin = text.find(kBegin, at);
    if (begin == std::string::npos) break;
    const std::size_t end = text.find(kEnd, begin);
    if (end == std::string::npos) break;
    const std::size_t bodyStart = begin + kBegin.size();
    const std::string body = text.substr(bodyStart, end - bodyStart);
    DWORD size = 0;
    if (!CryptStringToBinaryA(body.c_str(), static_cast<DWORD>(body.size()), CRYPT_STRING_BASE64,
                              nullptr, &size, nullptr, nullptr)) {
      break;
    }
    std::vector<std::uint8_t> der(size);
    if (!CryptStringToBinaryA(body.c_str(), static_cast<DWORD>(body.size()), CRYPT_STRING_BASE64,
                              der.data(), &size, nullptr, nullptr)) {
      break;
    }
    der.resize(size);
    certificates.push_back(std::move(der));
    at = end + kEnd.size();
  }
  return certificates;
}

// A chain engine whose only roots are the anchors (CA certificates among
// them count too), as Windows 8 and later make them; Windows 7's engine has
// exclusive roots without that flag; older ones get the anchors as an extra
// store, and VerifyChain's walk to an anchor decides alone.
HCERTCHAINENGINE AnchorEngine(HCERTSTORE anchors) {
  HCERTSTORE additional[] = {anchors};
  const DWORD sizes[] = {sizeof(CERT_CHAIN_ENGINE_CONFIG),
                         static_cast<DWORD>(offsetof(CERT_CHAIN_ENGINE_CONFIG, dwExclusiveFlags)),
                         static_cast<DWORD>(offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveRoot))};
  for (const DWORD size : sizes) {
    CERT_CHAIN_ENGINE_CONFIG config{};
    config.cbSize = size;
    config.dwFlags = CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL;
    if (size > offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveRoot)) {
      config.hExclusiveRoot = anchors;
      config.dwExclusiveFlags = CERT_CHAIN_EXCLUSIVE_ENABLE_CA_FLAG;
    } else {
      config.cAdditionalStore = 1;
      config.rghAdditionalStore = additional;
    }
    HCERTCHAINENGINE engine = nullptr;
    if (CertCreateCertificateChainEngine(&config, &engine)) return engine;
  }
  return nullptr;
}

}  // namespace

bool TrustSettings::hasAnchors() const { return state_ != nullptr && state_->anchors != nullptr; }

TrustSettings::Load TrustSettings::Read(std::span<const std::string> anchorPems,
                                        std::span<const std::string> pinnedSigners) {
  Load load;
  try {
    TrustSettings settings;
    for (const std::string& pin : pinnedSigners) settings.pins_.push_back(ParsePinnedSigner(pin));
    if (!anchorPems.empty()) {
      auto state = std::make_shared<State>();
      state->anchors.reset(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
      if (!state->anchors) {
        load.fault = platform::HostFault::kNoMemory;
        return load;
      }
      for (std::size_t i = 0; i < anchorPems.size(); ++i) {
        const std::vector<std::vector<std::uint8_t>> certificates = PemCertificates(anchorPems[i]);
        std::size_t added = 0;
        for (const std::vector<std::uint8_t>& der : certificates) {
          if (CertAddEncodedCertificateToStore(state->anchors.get(), X509_ASN_ENCODING, der.data(),
                                               static_cast<DWORD>(der.size()),
                                               CERT_STORE_ADD_USE_EXISTING, nullptr)) {
            ++added;
          } else if (Run run; run.HostFailed()) {
            load.fault = run.fault;
            return load;
          }
        }
        if (added == 0) {
          load.badAnchor = i;
          return load;
        }
      }
      state->engine = AnchorEngine(state->anchors.get());
      if (state->engine == nullptr) {
        Run run;
        load.fault = run.HostFailed() ? run.fault : platform::HostFault::kOther;
        return load;
      }
      settings.state_ = std::move(state);
    }
    load.settings = std::move(settings);
  } catch (const std::bad_alloc&) {
    load.fault = platform::HostFault::kNoMemory;
    load.settings.reset();
  }
  return load;
}

SignatureCheck VerifyAuthenticode(std::span<const std::uint8_t> der,
                                  std::span<const DigestValue> fileDigests,
                                  const TrustSettings& trust, std::int64_t now) {
  SignatureCheck check;
  Run run;
  try {
    check.facts = Check(run, der, fileDigests, trust, now, true);
  } catch (const std::bad_alloc&) {
    run.fault = platform::HostFault::kNoMemory;
  }
  check.fault = run.fault;
  if (check.fault != platform::HostFault::kNone) check.facts = SignatureFacts{};
  return check;
}

std::vector<DigestAlgorithm> AuthenticodeAlgorithms(std::span<const std::uint8_t> der) {
  std::vector<DigestAlgorithm> algorithms;
  try {
    CollectAlgorithms(der, true, &algorithms);
  } catch (const std::bad_alloc&) {
    algorithms.clear();
  }
  return algorithms;
}

}  // namespace packprobe::crypto
