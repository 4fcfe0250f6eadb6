// Throwaway certificates for TLS tests, made with the openssl command in a
// temporary folder that lives as long as the object.
#pragma once

#include <string>

namespace testcerts {

struct CertPair {
    std::string cert;  // PEM files
    std::string key;
};

class TestCa {
  public:
    // Makes a CA named `name`; throws std::runtime_error when openssl fails.
    explicit TestCa(const std::string &name = "Test CA");
    ~TestCa();
    TestCa(const TestCa &) = delete;
    TestCa &operator=(const TestCa &) = delete;

    const std::string &cafile() const { return cafile_; }
    // A certificate for common name `cn` with the subject alternative names
    // `san` (openssl's form: "IP:127.0.0.1,DNS:localhost"), for server and
    // client use, signed by this CA. It is valid from now for `days` days;
    // a negative number makes one whose validity ended before now.
    CertPair issue(const std::string &cn, const std::string &san, int days = 2);
    // A file in this CA's folder holding `text`.
    std::string file(const std::string &name, const std::string &text);

  private:
    void openssl(const std::string &args);
    std::string dir_;
    std::string cafile_;
    int issued_ = 0;
};

}  // namespace testcerts
