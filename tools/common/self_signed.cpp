// Self-signed certificate generation with the OpenSSL 3 API.
#include "self_signed.h"

#include <cstdio>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>
#include <stdexcept>

namespace quarvo_tools {
namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertPtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

std::string bio_text(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return std::string(data, size_t(n));
}

}  // namespace

PemPair make_self_signed_certificate() {
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key) throw std::runtime_error("EVP_EC_gen failed");
    CertPtr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
        throw std::runtime_error("X509_sign failed");

    BioPtr cert_bio(BIO_new(BIO_s_mem()));
    BioPtr key_bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_X509(cert_bio.get(), cert.get());
    PEM_write_bio_PrivateKey(key_bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    return PemPair{bio_text(cert_bio.get()), bio_text(key_bio.get())};
}

std::string sha256_fingerprint(const std::string& certificate_pem) {
    BioPtr bio(BIO_new_mem_buf(certificate_pem.data(), int(certificate_pem.size())));
    CertPtr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!cert || X509_digest(cert.get(), EVP_sha256(), digest, &size) != 1)
        throw std::runtime_error("not a PEM certificate");
    std::string out;
    char pair[4];
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, i ? ":%02X" : "%02X", digest[i]);
        out += pair;
    }
    return out;
}

}  // namespace quarvo_tools
