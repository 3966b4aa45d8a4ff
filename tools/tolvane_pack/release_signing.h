// Authenticode signatures of a release, through osslsigncode: `setup` signs every program
// of the product and then setup.exe with one certificate, and `inspect` checks what it
// finds. The Windows build of the tool does neither (the vendor's own signing step does);
// its checks report a signature as present but not checked.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "tools/tolvane_pack/command_line.h"
#include "tools/tolvane_pack/product_tree.h"

namespace tolvane::pack {

struct SigningOptions {
  std::string pkcs12, passwordFile, timestampUrl;
  // The signing time in seconds since 1970, from SOURCE_DATE_EPOCH, so that the same
  // inputs give the same signed bytes; empty: osslsigncode takes the clock's time.
  std::string time;
  bool resign = false;  // programs that already carry an intact signature are signed afresh
};
// setup's signing options and SOURCE_DATE_EPOCH; false (with error) when that is set but
// is not a number of seconds.
bool ReadSigningOptions(const CommandLine& line, SigningOptions& options, std::string& error);

// Signs `in` into the new file `out`, which lies in `work`, a private folder that also
// takes osslsigncode's output; messages call the file `name`.
bool SignFile(const std::filesystem::path& in, const std::filesystem::path& out, const std::string& name,
              const SigningOptions& options, const std::filesystem::path& work, std::string& error);

struct SignatureCheck {
  std::string state = "none";  // "none", "verified", "not verified"; "not checked" (Windows build)
  std::string signer;          // the subject of the signing certificate, when it could be read
  std::string detail;
  bool intact = false;         // the signed digest matches the file (whoever signed it)
};
// Checks the signature of a signed file with osslsigncode verify; ca, when given, is the
// trusted certificate file. Its output goes to `work`, a private folder. Messages call
// the file `name`.
SignatureCheck VerifySignature(const std::filesystem::path& file, const std::string& name,
                               const std::filesystem::path* ca, const std::filesystem::path& work);

// A PE file is told by its content, whatever its name: an MZ header whose e_lfanew points
// at the PE signature. certificateBytes: the size of its certificate table (0: unsigned).
bool IsPeFile(const std::filesystem::path& path, uint32_t& certificateBytes);

struct ProgramSigning {
  size_t signedNow = 0;  // signed with the release's certificate
  size_t kept = 0;       // already carried an intact signature, left as they were
};
// Signs every PE file of the tree into a copy in `work` (a private folder) and points its
// entry at the copy. A file whose signature is intact is left alone unless options.resign;
// one whose signature no longer matches its content is refused (unless options.resign),
// since signing it would vouch for a file changed after someone else signed it.
bool SignPrograms(ProductTree& tree, const SigningOptions& options, const std::filesystem::path& work, bool quiet,
                  ProgramSigning& done, std::string& error);

}  // namespace tolvane::pack
