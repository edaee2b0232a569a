// The client's TLS configuration: verification off by default (the Business Layer's certificate
// is self-signed), or by a CA file with the host name checked, or by a pinned SHA-256
// fingerprint. Built only with TLS; without it, wss is refused with a plain reason.
#include <quarvo_zovovi/ide/gui/core/connection.h>

#include <stdexcept>
#include <string>
#include <string_view>

#if QUARVO_WITH_TLS
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <boost/asio/ssl.hpp>
#include <cctype>
#endif

namespace quarvo_zovovi::ide::gui::detail {

#if QUARVO_WITH_TLS

namespace ssl = boost::asio::ssl;

namespace {

// "AB:cd:..." or "abcd..." to 32 bytes; empty when it is not a SHA-256 fingerprint.
std::string fingerprint_bytes(std::string_view text) {
    std::string hex;
    for (char c : text) {
        if (c == ':' || c == ' ') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
        hex += char(std::tolower(static_cast<unsigned char>(c)));
    }
    if (hex.size() != 64) return {};
    std::string bytes;
    for (size_t i = 0; i < 64; i += 2) bytes += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return bytes;
}

bool certificate_matches(X509* certificate, const std::string& pinned) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    return certificate && X509_digest(certificate, EVP_sha256(), digest, &size) == 1 &&
           std::string(reinterpret_cast<const char*>(digest), size) == pinned;
}

}  // namespace

std::shared_ptr<ssl::context> make_tls_context(const ClientOptions& options,
                                               const std::string& host) {
    auto tls = std::make_shared<ssl::context>(ssl::context::tls_client);
    const bool use_ca = !options.tls_ca_file.empty();
    const bool use_pin = !options.tls_certificate_sha256.empty();
    if (!use_ca && !use_pin) {
        // The Business Layer's certificate is self-signed: by default any is accepted.
        tls->set_verify_mode(ssl::verify_none);
        return tls;
    }
    std::string pinned;
    if (use_pin) {
        pinned = fingerprint_bytes(options.tls_certificate_sha256);
        if (pinned.empty())
            throw std::runtime_error(
                "tls_certificate_sha256 is not a SHA-256 fingerprint "
                "(64 hex digits)");
    }
    if (use_ca) {
        boost::system::error_code ec;
        tls->load_verify_file(options.tls_ca_file, ec);
        if (ec)
            throw std::runtime_error("cannot read the CA file " + options.tls_ca_file + ": " +
                                     describe(ec));
    }
    tls->set_verify_mode(ssl::verify_peer);
    tls->set_verify_callback([use_ca, pinned, check_name = ssl::host_name_verification(host)](
                                 bool preverified, ssl::verify_context& ctx) mutable {
        X509_STORE_CTX* store = ctx.native_handle();
        const bool leaf = X509_STORE_CTX_get_error_depth(store) == 0;
        if (use_ca && !(leaf ? check_name(preverified, ctx) : preverified)) return false;
        if (!pinned.empty() && leaf &&
            !certificate_matches(X509_STORE_CTX_get_current_cert(store), pinned)) {
            X509_STORE_CTX_set_error(store, X509_V_ERR_CERT_REJECTED);
            return false;
        }
        return true;  // the chain's own verdict counts only where a CA file was given
    });
    return tls;
}

#else

std::shared_ptr<boost::asio::ssl::context> make_tls_context(const ClientOptions&,
                                                            const std::string&) {
    throw std::runtime_error("this build of the client has no TLS; wss cannot be used");
}

#endif

}  // namespace quarvo_zovovi::ide::gui::detail
