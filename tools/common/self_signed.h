// A throw-away self-signed certificate, made in memory with OpenSSL at start-up.
#pragma once

#include <string>

namespace quarvo_tools {

struct PemPair {
    std::string certificate;
    std::string private_key;
};

// A P-256 key and a certificate for CN=localhost valid from an hour ago for a day.
PemPair make_self_signed_certificate();

// The SHA-256 fingerprint of a PEM certificate, as upper-case hex pairs joined by colons
// ("AB:CD:..."), the form a client's tls_certificate_sha256 takes.
std::string sha256_fingerprint(const std::string& certificate_pem);

}  // namespace quarvo_tools
