// A certificate authority made for one test, and a node certificate it
// signed, written as PEM files into a scratch directory: the trust a
// private node is reached with.
#pragma once

#include <string>

#include "support/scratch.h"

class TestPki {
public:
    // The node certificate names "localhost" and 127.0.0.1, and nothing else;
    // or, given a common name, that name alone (no alternative names), so
    // that a client quotes it when the host does not match.
    explicit TestPki(const char* nodeCommonName = nullptr);
    const std::string& caFile() const { return ca_; }      // the CA's certificate
    const std::string& certFile() const { return cert_; }  // the node's certificate
    const std::string& keyFile() const { return key_; }    // the node's private key

private:
    ScratchDir dir_;
    std::string ca_, cert_, key_;
};
