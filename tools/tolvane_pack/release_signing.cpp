#include "tools/tolvane_pack/release_signing.h"

#include <cstdlib>
#include <fstream>
#include <system_error>
#include <vector>

#include "package/manifest.h"
#include "tools/tolvane_pack/file_io.h"
#include "tools/tolvane_pack/pe_resources.h"
#include "tools/tolvane_pack/progress.h"
#include "tools/tolvane_pack/release_support.h"

namespace tolvane::pack {

namespace fs = std::filesystem;

namespace {

// osslsigncode's output for one run: a new name in the private work folder each time.
fs::path NextLog(const fs::path& work) {
  static unsigned runs = 0;
  return work / ("osslsigncode-" + std::to_string(++runs) + ".log");
}

#ifndef _WIN32
// The text after the first colon of a line, without the blanks around it.
std::string ValueOf(const std::string& line) {
  size_t colon = line.find(':');
  std::string v = colon == std::string::npos ? "" : line.substr(colon + 1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\r' || v.back() == '\t')) v.pop_back();
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.erase(v.begin());
  return v;
}

bool StartsWithBlanksThen(const std::string& line, const char* word) {
  size_t at = line.find_first_not_of(" \t");
  return at != std::string::npos && line.compare(at, std::char_traits<char>::length(word), word) == 0;
}
#endif

}  // namespace

bool ReadSigningOptions(const CommandLine& cl, SigningOptions& options, std::string& error) {
  options = SigningOptions();
  options.pkcs12 = cl.Value("--sign-pkcs12");
  if (cl.Has("--sign-password-file")) options.passwordFile = cl.Value("--sign-password-file");
  if (cl.Has("--timestamp-url")) options.timestampUrl = cl.Value("--timestamp-url");
  options.resign = cl.Has("--resign");
  // The reproducible-builds convention: a decimal number of seconds since 1970.
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"); epoch && *epoch) {
    std::string text = epoch;
    if (text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
      return error = "SOURCE_DATE_EPOCH must be a number of seconds since 1970, not \"" + text + "\"", false;
    options.time = text;
  }
  return true;
}

bool SignFile(const fs::path& in, const fs::path& out, const std::string& name, const SigningOptions& options,
              const fs::path& work, std::string& error) {
  std::vector<std::string> command = {"osslsigncode", "sign", "-pkcs12", options.pkcs12};
  if (!options.passwordFile.empty()) {
    command.insert(command.end(), {"-readpass", options.passwordFile});
  } else {
    command.insert(command.end(), {"-pass", ""});
  }
  if (!options.timestampUrl.empty()) command.insert(command.end(), {"-t", options.timestampUrl});
  if (!options.time.empty()) command.insert(command.end(), {"-time", options.time});
  command.insert(command.end(), {"-h", "sha256", "-in", in.string(), "-out", out.string()});
  const fs::path log = NextLog(work);
  int status = 0;
  if (!RunProgram(command, log, status, error)) return false;
  if (status == 0) return true;
  // osslsigncode before 2.4 has no -time: it stops at the option, printing its usage.
  std::ifstream text(log);
  for (std::string line; std::getline(text, line);)
    if (line.find("Unknown option: -time") != std::string::npos)
      return error = "this osslsigncode cannot set the signing time that SOURCE_DATE_EPOCH asks for (it has no "
                     "-time; osslsigncode 2.4 and later have it): update it, or unset SOURCE_DATE_EPOCH",
             false;
  error = options.pkcs12 + ": osslsigncode could not sign " + name + " (" +
          ProgramMessage(log) + ")";
  return false;
}

SignatureCheck VerifySignature(const fs::path& file, const std::string& name, const fs::path* ca,
                               const fs::path& work) {
  SignatureCheck check;
#ifdef _WIN32
  (void)file;
  (void)ca;
  (void)work;
  check.state = "not checked";
  check.detail = "the Windows build of tolvane-pack does not check signatures (signtool verify /pa " + name + " does)";
  return check;
#else
  (void)name;
  std::vector<std::string> command = {"osslsigncode", "verify", "-in", file.string()};
  if (ca) command.insert(command.end(), {"-CAfile", ca->string()});
  const fs::path log = NextLog(work);
  int status = 0;
  std::string error;
  check.state = "not verified";
  if (!RunProgram(command, log, status, error)) return check.detail = error, check;
  std::string current, calculated, lastError, line;
  bool signerSection = false;
  std::ifstream in(log);
  while (std::getline(in, line)) {
    if (line.rfind("Current message digest", 0) == 0) current = ValueOf(line);
    if (line.rfind("Calculated message digest", 0) == 0) calculated = ValueOf(line);
    if (line.find("Error:") != std::string::npos) lastError = ValueOf(line);
    // The first certificate listed under "Signer's certificate:" is the one that signed.
    if (line.rfind("Signer's certificate", 0) == 0) signerSection = true;
    if (signerSection && check.signer.empty() && StartsWithBlanksThen(line, "Subject:")) check.signer = ValueOf(line);
  }
  check.intact = !current.empty() && current == calculated;
  if (status == 0) {
    check.state = "verified";
    check.detail = ca ? "certificate chain checked against " + Display(*ca)
                      : "certificate chain checked against the system's certificates";
  } else if (!check.intact) {
    check.detail = "the file was changed after it was signed (its digest no longer matches)";
  } else {
    check.detail = "the signer's certificate is not trusted" + (lastError.empty() ? "" : " (" + lastError + ")") +
                   (ca ? "" : "; give --ca FILE for a private certificate");
  }
  return check;
#endif
}

bool IsPeFile(const fs::path& path, uint32_t& certificateBytes) {
  pe::Image image;
  std::string ignored;
  if (!image.ParseHeadersOfFile(path, ignored)) return false;
  certificateBytes = image.CertificateSize();
  return true;
}

bool SignPrograms(ProductTree& tree, const SigningOptions& options, const fs::path& work, bool quiet,
                  ProgramSigning& done, std::string& error) {
  done = ProgramSigning();
  struct Program {
    size_t entry;
    uint32_t certificateBytes;
  };
  std::vector<Program> programs;
  uint64_t programBytes = 0;
  for (size_t i = 0; i < tree.entries.size(); ++i) {
    uint32_t certificateBytes = 0;
    if (tree.entries[i].kind != Folder && IsPeFile(tree.entries[i].path, certificateBytes)) {
      programs.push_back({i, certificateBytes});
      programBytes += tree.entries[i].size;
    }
  }
  Progress progress("setup: signing", programBytes, programs.size(), quiet);
  for (const Program& program : programs) {
    ProductEntry& entry = tree.entries[program.entry];
    progress.Add(entry.size, 1);
    if (program.certificateBytes && !options.resign) {
      SignatureCheck check = VerifySignature(entry.path, Display(entry.path), nullptr, work);
      if (check.intact) {
        ++done.kept;
        continue;
      }
      return error = Display(entry.path) + ": its signature no longer matches its content (changed after it was "
                                           "signed); --resign signs it afresh",
             false;
    }
    const fs::path copy = work / ("program-" + std::to_string(program.entry));
    if (!SignFile(entry.path, copy, Display(entry.path), options, work, error)) return false;
    std::error_code ec;
    const uint64_t size = fs::file_size(copy, ec);
    if (ec) return error = Display(copy) + ": cannot read its size", false;
    tree.totalBytes += size - entry.size;
    entry.size = size;
    entry.path = copy;
    ++done.signedNow;
  }
  return true;
}

}  // namespace tolvane::pack
