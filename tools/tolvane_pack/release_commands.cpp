// The vendor's release commands: `setup` turns a product folder into a finished setup.exe
// (the wizard stub with the package put into its resources, optionally signed), and
// `inspect` checks such a file without running it.
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include <zlib.h>

#include "package/key_provider.h"
#include "resources/resource_ids.h"
#include "state/product_names.h"
#include "tools/tolvane_pack/file_io.h"
#include "tools/tolvane_pack/package_commands.h"
#include "tools/tolvane_pack/pe_resources.h"
#include "tools/tolvane_pack/release_signing.h"
#include "tools/tolvane_pack/release_support.h"
#include "tools/tolvane_pack/strong_deflate.h"
#include "tools/tolvane_pack/text_codec.h"

namespace tolvane::pack {

namespace fs = std::filesystem;

namespace {

constexpr uint16_t kRtDialog = 5;
constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kSubsystemGui = 2;
// The language of package resources the stub lacks: the one the project's own build of
// setup.exe gives them (windres's default, U.S. English), so that both agree.
constexpr uint16_t kDefaultLanguage = 0x0409;

bool ReadKeyFile(const fs::path& path, PayloadKey& key, std::string& error) {
  Bytes bytes;
  if (!ReadWholeFile(path, bytes, error)) return false;
  std::string text(bytes.begin(), bytes.end());
  // One line break at the end is what editors leave; anything else is not a key file.
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty() && text.back() == '\r') text.pop_back();
  std::optional<PayloadKey> parsed = ParseKey(text);
  if (!parsed) return error = Display(path) + ": not a key file: it must hold exactly 16 hex digits", false;
  if (*parsed == PayloadKey{}) return error = Display(path) + ": the key must not be all zero", false;
  key = *parsed;
  return true;
}

bool DrawKey(PayloadKey& key, std::string& error) {
  do {
    if (!SystemRandom(key.data(), key.size(), error)) return error = "no key drawn: " + error, false;
  } while (key == PayloadKey{});
  return true;
}

// An RTF document in code page 936: "{\rtf" and the control word \ansicpg936.
bool CheckLicense(const fs::path& path, Bytes& bytes, std::string& error) {
  if (!ReadWholeFile(path, bytes, error)) return false;
  std::string text(bytes.begin(), bytes.end());
  if (text.compare(0, 5, "{\\rtf") != 0) return error = Display(path) + ": not an RTF document (it must start with {\\rtf)", false;
  for (size_t at = text.find("\\ansicpg"); at != std::string::npos; at = text.find("\\ansicpg", at + 1)) {
    size_t digits = at + 8, end = digits;
    while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
    if (text.compare(digits, end - digits, "936") == 0 && end - digits == 3) return true;
  }
  return error = Display(path) + ": the RTF is not in code page 936 (no \\ansicpg936)", false;
}

bool LoadStub(const fs::path& path, pe::Image& stub, std::string& error) {
  Bytes bytes;
  if (!ReadWholeFile(path, bytes, error)) return false;
  std::string problem;
  if (!stub.Parse(std::move(bytes), problem)) return error = Display(path) + ": " + problem, false;
  if (stub.IsPe32Plus() || stub.Machine() != kMachineI386) return error = Display(path) + ": not a 32-bit (PE32, i386) program", false;
  if (!stub.Find(kRtDialog, IDD_WELCOME) || !stub.Find(pe::kRtBitmap, IDB_WATERMARK))
    return error = Display(path) + ": not a setup stub (it has no wizard pages)", false;
  return true;
}

// The new setup.exe going into its temporary file.
class FileSink final : public pe::OutputSink {
 public:
  explicit FileSink(AtomicFileWriter& file) : file_(file) {}
  bool Put(const uint8_t* data, size_t length) override { return file_.Write(data, length); }
  bool Patch(uint64_t offset, const uint8_t* data, size_t length) override { return file_.WriteAt(offset, data, length); }

 private:
  AtomicFileWriter& file_;
};

}  // namespace

const CommandSpec kSetupSpec{
    "setup",
    "PRODUCT_DIR -o SETUP.EXE [--license FILE.rtf] [--key-file FILE] [--print-key] [--version N]\n"
    "       [--order FILE] [--stub FILE]\n"
    "       [--sign-pkcs12 FILE [--sign-password-file FILE] [--timestamp-url URL] [--resign]]\n"
    "       [--allow-long-paths] [--quiet]",
    "make setup.exe from a product folder: package, stub, licence, signature",
    1,
    1,
    {{"-o", "SETUP.EXE", "the setup program to write"},
     {"--license", "FILE.rtf", "the licence agreement: RTF in code page 936 (\\ansicpg936)"},
     {"--key-file", "FILE", "the payload key, 16 hex digits on one line; without it a fresh key is drawn"},
     {"--print-key", nullptr, "print the key used"},
     {"--version", "N", "check that the package version is N"},
     kOrderOption,
     {"--stub", "FILE", "the wizard stub (default: " "tolvane-setup-stub.exe beside this program)"},
     {"--sign-pkcs12", "FILE", "sign the product's programs and setup.exe with the certificate and key of this PKCS#12 file"},
     {"--sign-password-file", "FILE", "the PKCS#12 file's password, read from FILE"},
     {"--timestamp-url", "URL", "the time-stamping service to ask"},
     {"--resign", nullptr, "sign afresh the programs that already carry a signature"},
     kAllowLongPathsOption,
     kQuietOption,
     kSetupLimitOption},
    "The package version comes from PRODUCT_DIR/" TOLVANE_SERVER_EXECUTABLE_NAME
    " (FileVersion a, b, c, d: a * 256 + c);\n"
    "--version only checks it. Without --key-file a fresh key is drawn (--print-key shows it).\n"
    "A file whose path under C:\\Program Files (x86)\\QUAV_SRV\\ reaches 260 characters is refused\n"
    "unless --allow-long-paths is given.\n"
    "Signing (osslsigncode) covers every PE file of the product, found by its content; one that\n"
    "already carries an intact signature is left as it is (--resign replaces it). The signing\n"
    "time is SOURCE_DATE_EPOCH when that is set, so that the same inputs give the same bytes."};
const CommandSpec kInspectSpec{"inspect", "SETUP.EXE [--json] [--ca FILE] [--stub FILE] [--quiet]",
                               "check a setup.exe without running it: package, key, payload, signature", 1, 1,
                               {{"--json", nullptr, "the report as one JSON object"},
                                {"--ca", "FILE", "trust the certificates of FILE for the signature"},
                                {"--stub", "FILE", "the stub to compare with (default: the one beside this program)"},
                                kQuietOption},
                               "Exit status 1 when the file has a fault; each is named on standard error."};

int RunSetup(const CommandLine& cl) {
  const std::string command = "setup";
  if (!cl.Has("-o")) return PrintUsage(kSetupSpec), 2;
  if ((cl.Has("--sign-password-file") || cl.Has("--timestamp-url") || cl.Has("--resign")) && !cl.Has("--sign-pkcs12"))
    return Fail(command, "--sign-password-file, --timestamp-url and --resign need --sign-pkcs12");
  const bool sign = cl.Has("--sign-pkcs12");
#ifdef _WIN32
  // osslsigncode is a Linux program; on Windows the vendor's own signing step signs.
  if (sign)
    return Fail(command, "the Windows build of tolvane-pack does not sign: leave out --sign-pkcs12" +
                             std::string(cl.Has("--resign") ? " and --resign" : "") +
                             ", sign the product's programs with your own signing step before packing them and " +
                             cl.Value("-o") + " after (for example: signtool sign /fd sha256 /f FILE.pfx " +
                             cl.Value("-o") + "), and check it with tolvane-pack inspect");
#endif
  std::string error;
  uint64_t limit = 0;
  if (!SetupLimit(cl, limit, error)) return Fail(command, error);
  SigningOptions signing;
  if (sign && !ReadSigningOptions(cl, signing, error)) return Fail(command, error);
  const fs::path root = PathFromUtf8(cl.positional[0]), out = PathFromUtf8(cl.Value("-o"));

  std::error_code ec;
  if (!fs::exists(root, ec)) return Fail(command, Display(root) + ": no such folder");
  if (!fs::is_directory(root, ec)) return Fail(command, Display(root) + ": not a folder");
  ServerVersion server;
  if (!ReadProductVersion(root / kServerExecutableName, server, error)) return Fail(command, error);
  if (cl.Has("--version")) {
    uint64_t asked = 0;
    if (!ParseNumber(cl.Value("--version"), 0, 0xFFFF, "the version", asked, error)) return Fail(command, error);
    if (asked != server.number)
      return Fail(command, "--version " + std::to_string(asked) + " disagrees with " + Display(root / kServerExecutableName) +
                               ": FileVersion \"" + server.text + "\" gives " + std::to_string(server.number));
  }

  PayloadKey key;
  if (cl.Has("--key-file") ? !ReadKeyFile(PathFromUtf8(cl.Value("--key-file")), key, error) : !DrawKey(key, error))
    return Fail(command, error);
  Bytes license;
  if (cl.Has("--license") && !CheckLicense(PathFromUtf8(cl.Value("--license")), license, error))
    return Fail(command, error);
  fs::path stubPath = cl.Has("--stub") ? PathFromUtf8(cl.Value("--stub")) : DefaultStubPath();
  if (stubPath.empty()) return Fail(command, "cannot find this program's own folder for the stub; give --stub FILE");
  pe::Image stub;
  if (!LoadStub(stubPath, stub, error)) return Fail(command, error);

  fs::path order;
  if (cl.Has("--order")) order = PathFromUtf8(cl.Value("--order"));
  ProductTree tree;
  if (!ScanProduct(root, order.empty() ? nullptr : &order, tree, error)) return Fail(command, error);
  if (!cl.Has("--allow-long-paths") && !CheckInstallPaths(tree, error)) return Fail(command, error);

  // The product's programs are signed into a private folder beside the output, which
  // also takes the signed setup.exe.
  TemporaryFolder signWork;
  ProgramSigning programs;
  if (sign && (!signWork.Make(out.parent_path(), Display(out.filename()), error) ||
               !SignPrograms(tree, signing, signWork.Path(), cl.Has("--quiet"), programs, error)))
    return Fail(command, error);

  // The image setup.exe maps is the stub's with the package added: checked as the
  // archive grows, so that a product too large to install stops the work early.
  if (!license.empty()) stub.Put(pe::kRtRcdata, IDR_LICENSE_RTF, license, kDefaultLanguage);
  stub.Put(pe::kRtRcdata, IDR_MANIFEST, {}, kDefaultLanguage);
  stub.Put(pe::kRtRcdata, IDR_PAYLOAD, {}, kDefaultLanguage);
  const uint64_t bareImage = stub.WrittenImageSize();
  if (!bareImage) {
    std::string problem;
    Bytes ignored;
    stub.Write(ignored, problem);
    return Fail(command, Display(stubPath) + ": " + problem);
  }
  SizeCheck check = [&](uint64_t packageBytes, std::string& problem) {
    if (bareImage + packageBytes <= limit) return true;
    problem = SetupTooLarge(bareImage + packageBytes, limit);
    return false;
  };
  BuiltPackage built;
  {
    Progress progress("setup: packing", tree.totalBytes, tree.entries.size() - FolderCount(tree), cl.Has("--quiet"));
    if (!BuildPackage(tree, server.number, key, out, PackCompressor::Strong, check, built, error, &progress))
      return Fail(command, error);
  }

  stub.Put(pe::kRtRcdata, IDR_MANIFEST, built.manifest, kDefaultLanguage);
  stub.PutStreamed(pe::kRtRcdata, IDR_PAYLOAD, uint32_t(built.payloadBytes),
                   [&](pe::OutputSink& sink, std::string& problem) {
                     return built.WritePayload([&](const uint8_t* data, size_t n) { return sink.Put(data, n); }, problem);
                   },
                   kDefaultLanguage);
  const uint64_t image = stub.WrittenImageSize();
  if (image > limit) return Fail(command, SetupTooLarge(image, limit));

  AtomicFileWriter file;
  FileSink sink(file);
  std::string problem;
  if (!file.Start(out, error)) return Fail(command, error);
  if (!stub.WriteTo(sink, problem)) return Fail(command, Display(out) + ": " + problem);
  if (!file.Finish(error)) return Fail(command, error);

  // What setup.exe will find: the package read back from the new file.
  if (!CheckSetupPackage(file.TemporaryPath(), error, "setup: checking", cl.Has("--quiet"))) return Fail(command, "the new file's package does not check out: " + error);

  uint64_t size = 0;
  if (sign) {
    // osslsigncode works on files: the signed file lies in the private folder until it is
    // synced and renamed into place.
    const fs::path signedSetup = signWork.Path() / "signed.exe";
    bool ok = SignFile(file.TemporaryPath(), signedSetup, Display(out), signing, signWork.Path(), error) &&
              PutInPlace(signedSetup, out, error);
    file.Discard();
    if (!ok) return Fail(command, error);
  } else if (!file.Commit(error)) {
    return Fail(command, error);
  }
  size = fs::file_size(out, ec);

  std::string signedText;
  if (sign)
    signedText = ", signed with " + std::to_string(programs.signedNow) + " of its programs" +
                 (programs.kept ? " (" + std::to_string(programs.kept) + " kept their own signature)" : "");
  std::printf("%s: version %u (%s FileVersion \"%s\"), %s; %llu bytes%s\n", Display(out).c_str(),
              unsigned(server.number), kServerExecutableName, server.text.c_str(), DescribeBuild(tree, built).c_str(),
              static_cast<unsigned long long>(size), signedText.c_str());
  if (cl.Has("--print-key")) std::printf("key %s\n", KeyToHex(key).c_str());
  return 0;
}

int RunInspect(const CommandLine& cl) {
  const bool json = cl.Has("--json");
  const fs::path path = PathFromUtf8(cl.positional[0]);
  const fs::path stubPath = cl.Has("--stub") ? PathFromUtf8(cl.Value("--stub")) : DefaultStubPath();
  const fs::path* ca = nullptr;
  fs::path caPath;
  if (cl.Has("--ca")) ca = &(caPath = PathFromUtf8(cl.Value("--ca")));

  InspectReport report;
  InspectSetup(path, stubPath, ca, report, cl.Has("--quiet"));
  std::fputs((json ? ReportJson(report) : ReportText(report)).c_str(), stdout);
  if (!report.faults.empty()) {
    for (const std::string& fault : report.faults) Fail("inspect", fault);
    return 1;
  }
  return 0;
}

}  // namespace tolvane::pack
