// Code signatures of patches: signing and checking through osslsigncode, run
// as a child process with an argument list (no shell) and the password on its
// standard input, never on a command line. Whether a patch is signed at all
// is read from its PE header, without osslsigncode. The Windows build of
// mkpatch finds signatures but neither signs nor checks them.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// Windows shows the description as the program's name in its prompts; the
// signature stores it as ASCII.
constexpr const char *SIGN_DESCRIPTION = "Orvane patch";

struct sign_options {
    std::string cert, key;  // a PEM certificate (with its chain) and its private key,
    std::string pkcs12;     // or both in a PKCS#12 file
    std::string pass_file;  // the password: the first line of this file,
    std::string pass_env;   // or the value of this environment variable
    std::string description = SIGN_DESCRIPTION;
    std::string timestamp;  // a timestamp server's URL; none by default
};

// True when some way to sign is given (for build, whose signing is optional).
bool sign_wanted(const sign_options &o);
// The PE security directory (data directory 4): where the signature lies (a
// file offset) and its length. False for an unsigned file or no PE program.
bool sign_directory(const uint8_t *file, uint64_t len, uint32_t *at, uint32_t *size);
// Signs the program in into out with SHA-256. Throws mkpatch_error with the
// reason (osslsigncode's own words among them); out may be left behind.
void sign_file(const std::filesystem::path &in, const std::filesystem::path &out, const sign_options &o);

struct sign_report {
    bool checked = false;    // osslsigncode read the signature
    bool digest_ok = false;  // the file's digest is the one that was signed
    bool trusted = false;    // and the certificate chain ends at a trusted root
    std::string subject;     // the signer's certificate, as osslsigncode writes it
    std::string why;         // unchecked: why not; untrusted: the chain's error
};
// Checks a signed file's signature, offline (no revocation lists fetched).
sign_report sign_check(const std::filesystem::path &file);
