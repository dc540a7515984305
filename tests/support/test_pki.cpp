#include "support/test_pki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <memory>
#include <stdexcept>

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

Key newKey() {
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    if (!key) throw std::runtime_error("cannot make a key");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    if (!ext) throw std::runtime_error("bad extension");
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

// Signed by `issuerKey` as `issuer` (null: by itself).
Cert newCert(EVP_PKEY* key, const char* commonName, long serial, X509* issuer, EVP_PKEY* issuerKey,
             bool altNames = true) {
    Cert cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 7 * 24 * 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : name);
    X509* signer = issuer ? issuer : cert.get();
    if (issuer) {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        if (altNames) addExtension(cert.get(), signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
        addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    } else {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
        addExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    }
    if (!X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256())) throw std::runtime_error("cannot sign");
    return cert;
}

std::string pem(X509* cert) {
    BIO* b = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(b, cert);
    char* data = nullptr;
    const long n = BIO_get_mem_data(b, &data);
    std::string text(data, size_t(n));
    BIO_free(b);
    return text;
}

std::string pem(EVP_PKEY* key) {
    BIO* b = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(b, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long n = BIO_get_mem_data(b, &data);
    std::string text(data, size_t(n));
    BIO_free(b);
    return text;
}

}  // namespace

TestPki::TestPki(const char* nodeCommonName) {
    Key caKey = newKey(), nodeKey = newKey();
    Cert ca = newCert(caKey.get(), "Test CA", 1, nullptr, nullptr);
    Cert node = newCert(nodeKey.get(), nodeCommonName ? nodeCommonName : "localhost", 2, ca.get(), caKey.get(),
                        !nodeCommonName);
    ca_ = dir_.write("ca.pem", pem(ca.get()));
    cert_ = dir_.write("node.pem", pem(node.get()));
    key_ = dir_.write("node.key", pem(nodeKey.get()));
}
