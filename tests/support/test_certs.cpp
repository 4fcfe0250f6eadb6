#include "test_certs.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testcerts {
namespace {

// Our own config, so the system's openssl.cnf adds no extensions of its own.
constexpr const char *kConfig = R"(
[req]
distinguished_name = dn
prompt = no
[dn]
[ca]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
)";

// EC keys: made in a moment, unlike RSA ones.
constexpr const char *kNewKey = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";

std::string slurp(const std::string &path) {
    std::ifstream f(path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace

TestCa::TestCa(const std::string &name) {
    std::string tmpl = (fs::temp_directory_path() / "apm-certs-XXXXXX").string();
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    dir_ = tmpl;
    file("openssl.cnf", kConfig);
    cafile_ = dir_ + "/ca.pem";
    openssl("req -x509 " + std::string(kNewKey) +
            " -keyout ca.key -out ca.pem -days 2 -subj '/CN=" + name +
            "' -config openssl.cnf -extensions ca");
}

TestCa::~TestCa() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

CertPair TestCa::issue(const std::string &cn, const std::string &san, int days) {
    std::string base = "leaf" + std::to_string(++issued_);
    file(base + ".ext",
         "basicConstraints = CA:FALSE\n"
         "keyUsage = critical,digitalSignature,keyEncipherment\n"
         "extendedKeyUsage = serverAuth,clientAuth\n"
         "subjectAltName = " +
             san + "\n");
    openssl("req -new " + std::string(kNewKey) + " -keyout " + base + ".key -out " + base +
            ".csr -subj '/CN=" + cn + "' -config openssl.cnf");
    // With a negative -days the end of validity lies before its start, now:
    // the certificate has expired, as a verifier sees it.
    openssl("x509 -req -in " + base + ".csr -CA ca.pem -CAkey ca.key -set_serial " +
            std::to_string(1000 + issued_) + " -days " + std::to_string(days) + " -extfile " +
            base + ".ext -out " + base + ".pem");
    return {dir_ + "/" + base + ".pem", dir_ + "/" + base + ".key"};
}

std::string TestCa::file(const std::string &name, const std::string &text) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    return path;
}

void TestCa::openssl(const std::string &args) {
    std::string cmd = "cd '" + dir_ + "' && openssl " + args + " >openssl.log 2>&1";
    if (std::system(cmd.c_str()) != 0)
        throw std::runtime_error("openssl " + args + " failed: " + slurp(dir_ + "/openssl.log"));
}

}  // namespace testcerts
