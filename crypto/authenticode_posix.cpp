// The signature check on libcrypto: PKCS #7 for the signature and its
// legacy countersignature, the TS API for RFC 3161 tokens, X509_STORE for
// chains to the user's anchors, ASN.1 templates for the signed content.
#include <openssl/asn1t.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>
#include <limits>
#include <new>

#include "crypto/authenticode.h"

// SpcIndirectDataContent ::= SEQUENCE {
//   data SpcAttributeTypeAndOptionalValue, messageDigest DigestInfo }
// SpcAttributeTypeAndOptionalValue ::= SEQUENCE {
//   type OBJECT IDENTIFIER, value ANY DEFINED BY type OPTIONAL }
// DigestInfo is libcrypto's X509_SIG (an algorithm and an octet string).
namespace {

struct SpcAttributeTypeAndOptionalValue {
  ASN1_OBJECT* type;
  ASN1_TYPE* value;
};

struct SpcIndirectDataContent {
  SpcAttributeTypeAndOptionalValue* data;
  X509_SIG* messageDigest;
};

}  // namespace

ASN1_SEQUENCE(SpcAttributeTypeAndOptionalValue) = {
    ASN1_SIMPLE(SpcAttributeTypeAndOptionalValue, type, ASN1_OBJECT),
    ASN1_OPT(SpcAttributeTypeAndOptionalValue, value, ASN1_ANY),
} ASN1_SEQUENCE_END(SpcAttributeTypeAndOptionalValue)

ASN1_SEQUENCE(SpcIndirectDataContent) = {
    ASN1_SIMPLE(SpcIndirectDataContent, data, SpcAttributeTypeAndOptionalValue),
    ASN1_SIMPLE(SpcIndirectDataContent, messageDigest, X509_SIG),
} ASN1_SEQUENCE_END(SpcIndirectDataContent)

namespace packprobe::crypto {
namespace {

constexpr std::string_view kSpcIndirectData = "1.3.6.1.4.1.311.2.1.4";
constexpr std::string_view kSpcPeImageData = "1.3.6.1.4.1.311.2.1.15";
constexpr std::string_view kSpcNestedSignature = "1.3.6.1.4.1.311.2.4.1";
constexpr std::string_view kSpcRfc3161 = "1.3.6.1.4.1.311.3.3.1";
constexpr std::string_view kCounterSignature = "1.2.840.113549.1.9.6";

// Nested signatures are read one level deep (as Windows lists them), at
// most this many: a bound on the work a crafted table can ask for.
constexpr std::size_t kMaxNested = 16;

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* p) const { Free(p); }
};
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7_free>>;
using SignerInfoPtr = std::unique_ptr<PKCS7_SIGNER_INFO, Deleter<PKCS7_SIGNER_INFO_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using StoreCtxPtr = std::unique_ptr<X509_STORE_CTX, Deleter<X509_STORE_CTX_free>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, Deleter<TS_TST_INFO_free>>;
using ObjectPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Deleter<X509_STORE_free>>;

void FreeIndirect(SpcIndirectDataContent* p) {
  ASN1_item_free(reinterpret_cast<ASN1_VALUE*>(p), ASN1_ITEM_rptr(SpcIndirectDataContent));
}
using IndirectPtr = std::unique_ptr<SpcIndirectDataContent, Deleter<FreeIndirect>>;

void FreeSignerStack(STACK_OF(X509)* p) { sk_X509_free(p); }
using SignerStackPtr = std::unique_ptr<STACK_OF(X509), Deleter<FreeSignerStack>>;

// libcrypto reports a failed allocation only in its error queue: a check
// reads the queue where a call failed, to tell the host's fault from the
// file's. The queue is emptied either way, so that nothing is left for the
// next check on this thread.
bool DrainErrorsForNoMemory() {
  bool noMemory = false;
  while (const unsigned long error = ERR_get_error()) {
    if (ERR_GET_REASON(error) == ERR_R_MALLOC_FAILURE) noMemory = true;
  }
  return noMemory;
}

// The state of one check: the fault that ends it, if any.
struct Run {
  platform::HostFault fault = platform::HostFault::kNone;

  // Records a failure of libcrypto; true when it was the host's.
  bool HostFailed() {
    if (DrainErrorsForNoMemory()) fault = platform::HostFault::kNoMemory;
    return fault != platform::HostFault::kNone;
  }
};

std::string OidText(const ASN1_OBJECT* object) {
  char text[128];
  const int length = OBJ_obj2txt(text, sizeof text, object, 1);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) return {};
  return std::string(text, static_cast<std::size_t>(length));
}

std::optional<std::int64_t> SecondsOf(const ASN1_TIME* time) {
  std::tm tm{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) return std::nullopt;
  return SecondsFromCivil(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                          tm.tm_sec);
}

std::string NameText(const X509_NAME* name) {
  std::vector<NameAttribute> attributes;
  const int count = X509_NAME_entry_count(name);
  for (int i = 0; i < count; ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    NameAttribute attribute;
    attribute.set = static_cast<std::size_t>(X509_NAME_ENTRY_set(entry));
    attribute.oid = OidText(X509_NAME_ENTRY_get_object(entry));
    unsigned char* utf8 = nullptr;
    const int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
    if (length >= 0) {
      attribute.value.assign(reinterpret_cast<const char*>(utf8), static_cast<std::size_t>(length));
      OPENSSL_free(utf8);
    } else {
      // A value of no string type: shown by its bytes, as RFC 4514 does.
      const ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
      attribute.value = "#" + HexDigits({ASN1_STRING_get0_data(data),
                                         static_cast<std::size_t>(ASN1_STRING_length(data))});
    }
    attributes.push_back(std::move(attribute));
  }
  return DistinguishedNameText(attributes);
}

// The digest algorithm that an algorithm identifier names, if supported.
std::optional<DigestAlgorithm> AlgorithmOf(const X509_ALGOR* algorithm) {
  const ASN1_OBJECT* object = nullptr;
  X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
  return object == nullptr ? std::nullopt : DigestAlgorithmFromOid(OidText(object));
}

std::span<const std::uint8_t> BytesOf(const ASN1_STRING* string) {
  return {ASN1_STRING_get0_data(string), static_cast<std::size_t>(ASN1_STRING_length(string))};
}

// The DER of an attribute value of type SEQUENCE (a nested structure).
std::optional<std::span<const std::uint8_t>> SequenceOf(const ASN1_TYPE* value) {
  if (value == nullptr || value->type != V_ASN1_SEQUENCE || value->value.sequence == nullptr) {
    return std::nullopt;
  }
  return BytesOf(value->value.sequence);
}

// The values of the unauthenticated attributes of type oid, in order.
std::vector<const ASN1_TYPE*> UnauthenticatedValues(PKCS7_SIGNER_INFO* signer, std::string_view oid) {
  std::vector<const ASN1_TYPE*> values;
  const STACK_OF(X509_ATTRIBUTE)* attributes = PKCS7_get_attributes(signer);
  for (int i = 0; i < X509at_get_attr_count(attributes); ++i) {
    X509_ATTRIBUTE* attribute = X509at_get_attr(attributes, i);
    if (OidText(X509_ATTRIBUTE_get0_object(attribute)) != oid) continue;
    for (int j = 0; j < X509_ATTRIBUTE_count(attribute); ++j) {
      values.push_back(X509_ATTRIBUTE_get0_type(attribute, j));
    }
  }
  return values;
}

// A signature read as far as Authenticode needs before any check.
struct Parsed {
  Pkcs7Ptr p7;
  PKCS7_SIGNER_INFO* signer = nullptr;
  // The signed content (SpcIndirectDataContent) without its tag and length:
  // what the signer's messageDigest attribute covers.
  std::span<const std::uint8_t> content;
  std::optional<DigestAlgorithm> algorithm;
  std::string algorithmOid;
  std::vector<std::uint8_t> signedDigest;
};

// Reads der as an Authenticode signature; an empty result with the problem
// in *problem when it is none (or the run's fault is set).
std::optional<Parsed> Parse(Run& run, std::span<const std::uint8_t> der, std::string* problem) {
  Parsed parsed;
  if (der.size() > static_cast<std::size_t>(std::numeric_limits<long>::max())) {
    *problem = "the signature is too large";
    return std::nullopt;
  }
  const unsigned char* cursor = der.data();
  parsed.p7.reset(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
  if (!parsed.p7) {
    if (!run.HostFailed()) *problem = "the signature is not a PKCS #7 structure";
    return std::nullopt;
  }
  // Signers pad an entry to 8 bytes with zeros; anything else after the
  // structure would be bytes that no signature covers.
  const std::size_t used = static_cast<std::size_t>(cursor - der.data());
  if (!std::all_of(der.begin() + static_cast<std::ptrdiff_t>(used), der.end(),
                   [](std::uint8_t b) { return b == 0; })) {
    *problem = "bytes other than padding follow the signature";
    return std::nullopt;
  }
  PKCS7* p7 = parsed.p7.get();
  if (!PKCS7_type_is_signed(p7) || p7->d.sign == nullptr || p7->d.sign->contents == nullptr) {
    *problem = "the signature is not a PKCS #7 SignedData";
    return std::nullopt;
  }
  PKCS7* contents = p7->d.sign->contents;
  if (OidText(contents->type) != kSpcIndirectData) {
    *problem = "the signature does not sign Authenticode content";
    return std::nullopt;
  }
  const STACK_OF(PKCS7_SIGNER_INFO)* signers = PKCS7_get_signer_info(p7);
  if (sk_PKCS7_SIGNER_INFO_num(signers) != 1) {
    *problem = "the signature does not have exactly one signer";
    return std::nullopt;
  }
  parsed.signer = sk_PKCS7_SIGNER_INFO_value(signers, 0);

  const std::optional<std::span<const std::uint8_t>> sequence = SequenceOf(contents->d.other);
  if (!sequence) {
    *problem = "the signed content is not a SpcIndirectDataContent";
    return std::nullopt;
  }
  const unsigned char* inner = sequence->data();
  long innerLength = 0;
  int tag = 0, tagClass = 0;
  const int header = ASN1_get_object(&inner, &innerLength, &tag, &tagClass,
                                     static_cast<long>(sequence->size()));
  if ((header & 0x80) != 0 || tag != V_ASN1_SEQUENCE ||
      static_cast<std::size_t>(inner - sequence->data()) + static_cast<std::size_t>(innerLength) !=
          sequence->size()) {
    if (!run.HostFailed()) *problem = "the signed content is not a SpcIndirectDataContent";
    return std::nullopt;
  }
  parsed.content = {inner, static_cast<std::size_t>(innerLength)};

  const unsigned char* cursorIndirect = sequence->data();
  IndirectPtr indirect(reinterpret_cast<SpcIndirectDataContent*>(
      ASN1_item_d2i(nullptr, &cursorIndirect, static_cast<long>(sequence->size()),
                    ASN1_ITEM_rptr(SpcIndirectDataContent))));
  if (!indirect) {
    if (!run.HostFailed()) *problem = "the signed content is not a SpcIndirectDataContent";
    return std::nullopt;
  }
  if (OidText(indirect->data->type) != kSpcPeImageData) {
    *problem = "the signature is not for a program file";
    return std::nullopt;
  }
  const X509_ALGOR* algorithm = nullptr;
  const ASN1_OCTET_STRING* digest = nullptr;
  X509_SIG_get0(indirect->messageDigest, &algorithm, &digest);
  const ASN1_OBJECT* algorithmObject = nullptr;
  X509_ALGOR_get0(&algorithmObject, nullptr, nullptr, algorithm);
  parsed.algorithmOid = OidText(algorithmObject);
  parsed.algorithm = AlgorithmOf(algorithm);
  const std::span<const std::uint8_t> digestBytes = BytesOf(digest);
  parsed.signedDigest.assign(digestBytes.begin(), digestBytes.end());
  return parsed;
}

// The time and the certificate of a verified timestamp, or why it failed.
struct Timestamp {
  TimestampKind kind = TimestampKind::kNone;
  std::int64_t time = 0;
  Pkcs7Ptr token;             // an RFC 3161 token, which holds its authority's certificates
  X509* authority = nullptr;  // owned by the token or by the signature
  SignatureState failure = SignatureState::kValid;
  std::string problem;

  void Fail(std::string why) {
    failure = SignatureState::kBadSignature;
    problem = std::move(why);
  }
};

// Whether a digest of the signature value made with `algorithm` equals
// `expected`; nothing when the host failed.
std::optional<bool> SignatureValueDigestIs(Run& run, const PKCS7_SIGNER_INFO* signer,
                                           const X509_ALGOR* algorithm,
                                           std::span<const std::uint8_t> expected) {
  const std::optional<DigestAlgorithm> which = AlgorithmOf(algorithm);
  if (!which) return false;
  const std::optional<DigestValue> digest = DigestOf(*which, BytesOf(signer->enc_digest));
  if (!digest) {
    run.fault = platform::HostFault::kNoMemory;
    return std::nullopt;
  }
  return std::equal(expected.begin(), expected.end(), digest->bytes().begin(),
                    digest->bytes().end());
}

// An RFC 3161 token over the signature value: the imprint, the token's
// signature, its time.
void ReadRfc3161(Run& run, PKCS7* p7, PKCS7_SIGNER_INFO* signer, std::span<const std::uint8_t> der,
                 Timestamp* stamp) {
  stamp->kind = TimestampKind::kRfc3161;
  const unsigned char* cursor = der.data();
  stamp->token.reset(d2i_PKCS7(nullptr, &cursor, static_cast<long>(der.size())));
  PKCS7* token = stamp->token.get();
  TstInfoPtr info(token != nullptr && PKCS7_type_is_signed(token) ? PKCS7_to_TS_TST_INFO(token)
                                                                  : nullptr);
  if (!info) {
    if (!run.HostFailed()) stamp->Fail("the timestamp is not an RFC 3161 token");
    return;
  }
  TS_MSG_IMPRINT* imprint = TS_TST_INFO_get_msg_imprint(info.get());
  const std::optional<bool> covers = SignatureValueDigestIs(
      run, signer, TS_MSG_IMPRINT_get_algo(imprint), BytesOf(TS_MSG_IMPRINT_get_msg(imprint)));
  if (!covers) return;
  if (!*covers) {
    stamp->Fail("the timestamp is not over this signature");
    return;
  }
  if (PKCS7_verify(token, p7->d.sign->cert, nullptr, nullptr, nullptr, PKCS7_NOVERIFY) != 1) {
    if (!run.HostFailed()) stamp->Fail("the timestamp's signature does not verify");
    return;
  }
  SignerStackPtr authorities(PKCS7_get0_signers(token, p7->d.sign->cert, 0));
  const std::optional<std::int64_t> time = SecondsOf(TS_TST_INFO_get_time(info.get()));
  if (!authorities || sk_X509_num(authorities.get()) != 1 || !time) {
    if (!run.HostFailed()) stamp->Fail("the timestamp's signer or time cannot be read");
    return;
  }
  stamp->authority = sk_X509_value(authorities.get(), 0);
  stamp->time = *time;
}

// A legacy countersignature over the signature value: its messageDigest
// attribute and signature (PKCS7_signatureVerify over a digest of the
// signature value), its signing time.
void ReadCounterSignature(Run& run, PKCS7* p7, PKCS7_SIGNER_INFO* signer,
                          std::span<const std::uint8_t> der, Timestamp* stamp) {
  stamp->kind = TimestampKind::kAuthenticode;
  const unsigned char* cursor = der.data();
  SignerInfoPtr counter(d2i_PKCS7_SIGNER_INFO(nullptr, &cursor, static_cast<long>(der.size())));
  if (!counter || counter->issuer_and_serial == nullptr) {
    if (!run.HostFailed()) stamp->Fail("the countersignature cannot be read");
    return;
  }
  X509* authority = X509_find_by_issuer_and_serial(p7->d.sign->cert,
                                                   counter->issuer_and_serial->issuer,
                                                   counter->issuer_and_serial->serial);
  const EVP_MD* md = EVP_get_digestbyobj(counter->digest_alg->algorithm);
  ASN1_TYPE* signingTime = PKCS7_get_signed_attribute(counter.get(), NID_pkcs9_signingTime);
  const std::optional<std::int64_t> time =
      signingTime != nullptr && (signingTime->type == V_ASN1_UTCTIME ||
                                 signingTime->type == V_ASN1_GENERALIZEDTIME)
          ? SecondsOf(signingTime->value.utctime)
          : std::nullopt;
  if (authority == nullptr || md == nullptr || !time) {
    stamp->Fail("the countersignature's signer, digest or time cannot be read");
    return;
  }
  BioPtr data(BIO_new_mem_buf(signer->enc_digest->data, signer->enc_digest->length));
  BIO* digestBio = BIO_new(BIO_f_md());
  if (!data || digestBio == nullptr || BIO_set_md(digestBio, md) != 1) {
    BIO_free(digestBio);
    run.HostFailed();
    if (run.fault == platform::HostFault::kNone) run.fault = platform::HostFault::kNoMemory;
    return;
  }
  BioPtr chain(BIO_push(digestBio, data.release()));
  unsigned char sink[256];
  while (BIO_read(chain.get(), sink, sizeof sink) > 0) {
  }
  if (PKCS7_signatureVerify(chain.get(), p7, counter.get(), authority) != 1) {
    if (!run.HostFailed()) stamp->Fail("the countersignature does not verify");
    return;
  }
  stamp->authority = authority;
  stamp->time = *time;
}

// The first timestamp of the signer that there is: an RFC 3161 token, else
// a countersignature.
Timestamp ReadTimestamp(Run& run, PKCS7* p7, PKCS7_SIGNER_INFO* signer) {
  Timestamp stamp;
  for (const ASN1_TYPE* value : UnauthenticatedValues(signer, kSpcRfc3161)) {
    stamp.kind = TimestampKind::kRfc3161;
    if (const auto der = SequenceOf(value)) {
      ReadRfc3161(run, p7, signer, *der, &stamp);
    } else {
      stamp.Fail("the timestamp is not an RFC 3161 token");
    }
    return stamp;
  }
  for (const ASN1_TYPE* value : UnauthenticatedValues(signer, kCounterSignature)) {
    stamp.kind = TimestampKind::kAuthenticode;
    if (const auto der = SequenceOf(value)) {
      ReadCounterSignature(run, p7, signer, *der, &stamp);
    } else {
      stamp.Fail("the countersignature cannot be read");
    }
    return stamp;
  }
  return stamp;
}

}  // namespace

struct TrustSettings::State {
  StorePtr store;
  int codeSignPurpose = 0;
};

namespace {

// Builds the chain of certificate for purpose at time to the anchors;
// kValid, kUntrusted or kExpired.
SignatureState VerifyChain(Run& run, const TrustSettings::State& trust, X509* certificate,
                           STACK_OF(X509)* untrusted, int purpose, std::int64_t time) {
  StoreCtxPtr context(X509_STORE_CTX_new());
  if (!context || X509_STORE_CTX_init(context.get(), trust.store.get(), certificate, untrusted) != 1 ||
      X509_STORE_CTX_set_purpose(context.get(), purpose) != 1) {
    run.HostFailed();
    if (run.fault == platform::HostFault::kNone) run.fault = platform::HostFault::kOther;
    return SignatureState::kUntrusted;
  }
  X509_STORE_CTX_set_time(context.get(), 0, static_cast<time_t>(time));
  if (X509_verify_cert(context.get()) == 1) return SignatureState::kValid;
  const int error = X509_STORE_CTX_get_error(context.get());
  if (error == X509_V_ERR_OUT_OF_MEM) run.fault = platform::HostFault::kNoMemory;
  DrainErrorsForNoMemory();
  return error == X509_V_ERR_CERT_HAS_EXPIRED || error == X509_V_ERR_CERT_NOT_YET_VALID
             ? SignatureState::kExpired
             : SignatureState::kUntrusted;
}

bool ValidAt(const X509* certificate, std::int64_t time) {
  time_t at = static_cast<time_t>(time);
  return X509_cmp_time(X509_get0_notBefore(certificate), &at) < 0 &&
         X509_cmp_time(X509_get0_notAfter(certificate), &at) > 0;
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
  PKCS7* p7 = parsed->p7.get();
  facts.algorithm = parsed->algorithm;

  if (readNested) {
    for (const ASN1_TYPE* value : UnauthenticatedValues(parsed->signer, kSpcNestedSignature)) {
      if (facts.nested.size() == kMaxNested) break;
      if (const auto nested = SequenceOf(value)) {
        facts.nested.push_back(Check(run, *nested, fileDigests, trust, now, false));
      } else {
        facts.nested.emplace_back().problem = "a nested signature cannot be read";
      }
      if (run.fault != platform::HostFault::kNone) return facts;
    }
  }

  X509* signer = X509_find_by_issuer_and_serial(p7->d.sign->cert,
                                                parsed->signer->issuer_and_serial->issuer,
                                                parsed->signer->issuer_and_serial->serial);
  if (signer == nullptr) {
    facts.state = SignatureState::kMalformed;
    facts.problem = "the signature does not carry its signer's certificate";
    return facts;
  }
  facts.subject = NameText(X509_get_subject_name(signer));
  facts.issuer = NameText(X509_get_issuer_name(signer));
  unsigned char fingerprint[EVP_MAX_MD_SIZE];
  unsigned int fingerprintSize = 0;
  if (X509_digest(signer, EVP_sha256(), fingerprint, &fingerprintSize) != 1) {
    run.HostFailed();
    if (run.fault == platform::HostFault::kNone) run.fault = platform::HostFault::kNoMemory;
    return facts;
  }
  facts.fingerprint = HexDigits({fingerprint, fingerprintSize});
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

  // The signature over the signed attributes, whose messageDigest must be
  // the digest of the signed content; the certificate chain comes later.
  // Behind a buffer: given a memory BIO, PKCS7_verify copies it into one of
  // its own, which OpenSSL 3.0 leaks when the signature names a digest it
  // does not know.
  BioPtr memory(BIO_new_mem_buf(parsed->content.data(), static_cast<int>(parsed->content.size())));
  BIO* buffer = BIO_new(BIO_f_buffer());
  if (!memory || buffer == nullptr) {
    BIO_free(buffer);
    run.HostFailed();
    if (run.fault == platform::HostFault::kNone) run.fault = platform::HostFault::kNoMemory;
    return facts;
  }
  const BioPtr content(BIO_push(buffer, memory.release()));
  if (PKCS7_verify(p7, nullptr, nullptr, content.get(), nullptr, PKCS7_NOVERIFY) != 1) {
    if (run.HostFailed()) return facts;
    facts.state = SignatureState::kBadSignature;
    facts.problem = "the signature does not verify";
    return facts;
  }
  if (!std::equal(parsed->signedDigest.begin(), parsed->signedDigest.end(),
                  fileDigest->bytes().begin(), fileDigest->bytes().end())) {
    facts.state = SignatureState::kDigestMismatch;
    facts.problem = "the file's digest is not the one signed: the file changed after signing";
    return facts;
  }

  const TrustSettings::State* anchors = trust.hasAnchors() ? trust.state() : nullptr;
  const Timestamp stamp = ReadTimestamp(run, p7, parsed->signer);
  if (run.fault != platform::HostFault::kNone) return facts;
  if (stamp.failure != SignatureState::kValid) {
    facts.state = stamp.failure;
    facts.problem = stamp.problem;
    return facts;
  }
  if (stamp.kind != TimestampKind::kNone) {
    if (anchors != nullptr) {
      // The authority's chain may be in the token or beside the signer's.
      SignerStackPtr untrusted(sk_X509_new_null());
      for (STACK_OF(X509)* certificates :
           {stamp.token ? stamp.token->d.sign->cert : nullptr, p7->d.sign->cert}) {
        for (int i = 0; untrusted && i < sk_X509_num(certificates); ++i) {
          if (sk_X509_push(untrusted.get(), sk_X509_value(certificates, i)) <= 0) untrusted.reset();
        }
      }
      if (!untrusted) {
        run.fault = platform::HostFault::kNoMemory;
        return facts;
      }
      const SignatureState stampChain = VerifyChain(run, *anchors, stamp.authority, untrusted.get(),
                                                    X509_PURPOSE_TIMESTAMP_SIGN, stamp.time);
      if (run.fault != platform::HostFault::kNone) return facts;
      if (StampChainFailed(stampChain, facts)) return facts;
    }
    facts.timestamp = stamp.kind;
    facts.signingTime = stamp.time;
  }

  const std::int64_t at = facts.signingTime.value_or(now);
  if (anchors != nullptr) {
    const SignatureState chain =
        VerifyChain(run, *anchors, signer, p7->d.sign->cert, anchors->codeSignPurpose, at);
    if (run.fault != platform::HostFault::kNone) return facts;
    TakeSignerChain(chain, facts);
    return facts;
  }
  TakeSignerValidity(ValidAt(signer, at), facts);
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
  if (!readNested) return;
  std::size_t count = 0;
  for (const ASN1_TYPE* value : UnauthenticatedValues(parsed->signer, kSpcNestedSignature)) {
    if (count++ == kMaxNested) break;
    if (const auto nested = SequenceOf(value)) CollectAlgorithms(*nested, false, algorithms);
  }
}

}  // namespace

bool TrustSettings::hasAnchors() const { return state_ != nullptr && state_->store != nullptr; }

TrustSettings::Load TrustSettings::Read(std::span<const std::string> anchorPems,
                                        std::span<const std::string> pinnedSigners) {
  Load load;
  try {
    TrustSettings settings;
    for (const std::string& pin : pinnedSigners) settings.pins_.push_back(ParsePinnedSigner(pin));
    if (!anchorPems.empty()) {
      auto state = std::make_shared<State>();
      const int index = X509_PURPOSE_get_by_sname("codesign");
      state->store.reset(X509_STORE_new());
      if (index < 0 || !state->store) {
        load.fault = index < 0 ? platform::HostFault::kOther : platform::HostFault::kNoMemory;
        DrainErrorsForNoMemory();
        return load;
      }
      state->codeSignPurpose = X509_PURPOSE_get_id(X509_PURPOSE_get0(index));
      // A trust anchor may be an intermediate certificate as well as a root.
      X509_STORE_set_flags(state->store.get(), X509_V_FLAG_PARTIAL_CHAIN);
      for (std::size_t i = 0; i < anchorPems.size(); ++i) {
        const std::string& pem = anchorPems[i];
        BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(std::min<std::size_t>(
                                                   pem.size(), std::numeric_limits<int>::max()))));
        if (!bio) {
          load.fault = platform::HostFault::kNoMemory;
          DrainErrorsForNoMemory();
          return load;
        }
        int count = 0;
        while (X509Ptr certificate{PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)}) {
          if (X509_STORE_add_cert(state->store.get(), certificate.get()) != 1 &&
              DrainErrorsForNoMemory()) {
            load.fault = platform::HostFault::kNoMemory;
            return load;
          }
          ++count;
        }
        // The end of the text ends the loop with an error in the queue.
        if (DrainErrorsForNoMemory()) {
          load.fault = platform::HostFault::kNoMemory;
          return load;
        }
        if (count == 0) {
          load.badAnchor = i;
          return load;
        }
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
  ERR_clear_error();
  Run run;
  try {
    check.facts = Check(run, der, fileDigests, trust, now, true);
  } catch (const std::bad_alloc&) {
    run.fault = platform::HostFault::kNoMemory;
  }
  DrainErrorsForNoMemory();
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
  DrainErrorsForNoMemory();
  return algorithms;
}

}  // namespace packprobe::crypto
