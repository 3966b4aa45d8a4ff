// The vendor's release commands: `setup` turns a product folder into a finished setup.exe
// (the wizard stub with the package put into its resources, optionally signed), and
// `inspect` checks such a file without running it.
#include <cstdio>
#include <cstdlib>
#include <random>
#include <system_error>

#include <zlib.h>

#include "package/key_provider.h"
#include "resources/resource_ids.h"
#include "state/product_names.h"
#include "tools/tolvane_pack/file_io.h"
#include "tools/tolvane_pack/package_commands.h"
#include "tools/tolvane_pack/pe_resources.h"
#include "tools/tolvane_pack/release_support.h"
#include "tools/tolvane_pack/strong_deflate.h"
#include "tools/tolvane_pack/text_codec.h"

namespace tolvane::pack {

namespace fs = std::filesystem;

namespace {

constexpr const char* kSetupUsage =
    "setup PRODUCT_DIR -o SETUP.EXE [--license FILE.rtf] [--key-file FILE] [--print-key] [--version N]\n"
    "       [--order FILE] [--stub FILE] [--sign-pkcs12 FILE [--sign-password-file FILE] [--timestamp-url URL]]\n"
    "       [--allow-long-paths]\n"
    "  The package version comes from PRODUCT_DIR/" TOLVANE_SERVER_EXECUTABLE_NAME
    " (FileVersion a, b, c, d: a * 256 + c);\n"
    "  --version only checks it. Without --key-file a fresh key is drawn (--print-key shows it).\n"
    "  A file whose path under C:\\Program Files (x86)\\QUAV_SRV\\ reaches 260 characters is refused\n"
    "  unless --allow-long-paths is given.";
constexpr const char* kInspectUsage = "inspect SETUP.EXE [--json] [--ca FILE] [--stub FILE]";

constexpr uint16_t kRtDialog = 5;
constexpr uint16_t kMachineI386 = 0x14C;
constexpr uint16_t kSubsystemGui = 2;
// The language of package resources the stub lacks: the one the project's own build of
// setup.exe gives them (windres's default, U.S. English), so that both agree.
constexpr uint16_t kDefaultLanguage = 0x0409;

int Usage(const char* usage) {
  std::fprintf(stderr, "usage: tolvane-pack %s\n", usage);
  return 2;
}

bool ParseNumber(const std::string& text, uint16_t& value) {
  if (text.empty() || text[0] == '-') return false;
  char* end = nullptr;
  unsigned long v = std::strtoul(text.c_str(), &end, 0);
  if (*end || v > 0xFFFF) return false;
  value = uint16_t(v);
  return true;
}

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
  try {
    std::random_device device;
    do {
      for (size_t i = 0; i < key.size(); i += 4) {
        uint32_t word = device();
        for (size_t j = 0; j < 4; ++j) key[i + j] = uint8_t(word >> (8 * j));
      }
    } while (key == PayloadKey{});
  } catch (const std::exception& e) {
    return error = std::string("no source of random numbers for the key: ") + e.what(), false;
  }
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

// Runs osslsigncode; its output goes to `log` (a file the caller removes).
bool Sign(const fs::path& in, const fs::path& out, const CommandLine& cl, const fs::path& log, std::string& error) {
  std::vector<std::string> command = {"osslsigncode", "sign", "-pkcs12", cl.options.at("--sign-pkcs12")};
  if (cl.options.count("--sign-password-file")) {
    command.insert(command.end(), {"-readpass", cl.options.at("--sign-password-file")});
  } else {
    command.insert(command.end(), {"-pass", ""});
  }
  if (cl.options.count("--timestamp-url")) command.insert(command.end(), {"-t", cl.options.at("--timestamp-url")});
  command.insert(command.end(), {"-h", "sha256", "-in", in.string(), "-out", out.string()});
  int status = 0;
  if (!RunProgram(command, log, status, error)) return false;
  if (status != 0) {
    error = Display(cl.options.at("--sign-pkcs12")) + ": osslsigncode could not sign (" + ProgramMessage(log) + ")";
    return false;
  }
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

int RunSetup(const Args& original) {
  Args args = original;
  bool printKey = TakeSwitch(args, "--print-key");
  const bool allowLongPaths = TakeSwitch(args, "--allow-long-paths");
  CommandLine cl;
  if (!ParseCommandLine(args,
                        {"-o", "--license", "--key-file", "--version", "--order", "--stub", "--sign-pkcs12",
                         "--sign-password-file", "--timestamp-url", "--setup-limit"},
                        kSetupUsage, cl))
    return cl.help ? 0 : 2;
  if (cl.positional.size() != 1 || !cl.options.count("-o")) return Usage(kSetupUsage);
  if ((cl.options.count("--sign-password-file") || cl.options.count("--timestamp-url")) && !cl.options.count("--sign-pkcs12"))
    return Fail(args[0], "--sign-password-file and --timestamp-url need --sign-pkcs12");
  uint64_t limit = kMaxSetupImageBytes;
  if (cl.options.count("--setup-limit") && !ParseSetupLimit(cl.options["--setup-limit"], limit))
    return Fail(args[0], "--setup-limit takes a number of bytes");
  const fs::path root = cl.positional[0], out = cl.options["-o"];
  std::string error;

  std::error_code ec;
  if (!fs::exists(root, ec)) return Fail(args[0], Display(root) + ": no such folder");
  if (!fs::is_directory(root, ec)) return Fail(args[0], Display(root) + ": not a folder");
  ServerVersion server;
  if (!ReadProductVersion(root / kServerExecutableName, server, error)) return Fail(args[0], error);
  if (cl.options.count("--version")) {
    uint16_t asked = 0;
    if (!ParseNumber(cl.options["--version"], asked))
      return Fail(args[0], "the version must be a number from 0 to 65535, not '" + cl.options["--version"] + "'");
    if (asked != server.number)
      return Fail(args[0], "--version " + std::to_string(asked) + " disagrees with " + Display(root / kServerExecutableName) +
                               ": FileVersion \"" + server.text + "\" gives " + std::to_string(server.number));
  }

  PayloadKey key;
  if (cl.options.count("--key-file") ? !ReadKeyFile(cl.options["--key-file"], key, error) : !DrawKey(key, error))
    return Fail(args[0], error);
  Bytes license;
  if (cl.options.count("--license") && !CheckLicense(cl.options["--license"], license, error)) return Fail(args[0], error);
  fs::path stubPath = cl.options.count("--stub") ? fs::path(cl.options["--stub"]) : DefaultStubPath();
  if (stubPath.empty()) return Fail(args[0], "cannot find this program's own folder for the stub; give --stub FILE");
  pe::Image stub;
  if (!LoadStub(stubPath, stub, error)) return Fail(args[0], error);

  fs::path order;
  if (cl.options.count("--order")) order = cl.options["--order"];
  ProductTree tree;
  if (!ScanProduct(root, order.empty() ? nullptr : &order, tree, error)) return Fail(args[0], error);
  if (!allowLongPaths && !CheckInstallPaths(tree, error)) return Fail(args[0], error);

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
    return Fail(args[0], Display(stubPath) + ": " + problem);
  }
  SizeCheck check = [&](uint64_t packageBytes, std::string& problem) {
    if (bareImage + packageBytes <= limit) return true;
    problem = SetupTooLarge(bareImage + packageBytes, limit);
    return false;
  };
  BuiltPackage built;
  if (!BuildPackage(tree, server.number, key, out, PackCompressor::Strong, check, built, error))
    return Fail(args[0], error);

  stub.Put(pe::kRtRcdata, IDR_MANIFEST, built.manifest, kDefaultLanguage);
  stub.PutStreamed(pe::kRtRcdata, IDR_PAYLOAD, uint32_t(built.payloadBytes),
                   [&](pe::OutputSink& sink, std::string& problem) {
                     return built.WritePayload([&](const uint8_t* data, size_t n) { return sink.Put(data, n); }, problem);
                   },
                   kDefaultLanguage);
  const uint64_t image = stub.WrittenImageSize();
  if (image > limit) return Fail(args[0], SetupTooLarge(image, limit));

  AtomicFileWriter file;
  FileSink sink(file);
  std::string problem;
  if (!file.Start(out, error)) return Fail(args[0], error);
  if (!stub.WriteTo(sink, problem)) return Fail(args[0], Display(out) + ": " + problem);

  // What setup.exe will find: the package read back from the new file.
  if (!CheckSetupPackage(file.TemporaryPath(), error)) return Fail(args[0], "the new file's package does not check out: " + error);

  uint64_t size = 0;
  if (cl.options.count("--sign-pkcs12")) {
    // osslsigncode works on files: the signed file lies beside the output under a
    // temporary name until it is synced and renamed into place.
    fs::path signed_ = TemporarySibling(out), log = TemporarySibling(out);
    bool ok = Sign(file.TemporaryPath(), signed_, cl, log, error) && PutInPlace(signed_, out, error);
    file.Discard();
    for (const fs::path& p : {signed_, log}) fs::remove(p, ec);
    if (!ok) return Fail(args[0], error);
  } else if (!file.Commit(error)) {
    return Fail(args[0], error);
  }
  size = fs::file_size(out, ec);

  std::printf("%s: version %u (%s FileVersion \"%s\"), %s; %llu bytes%s\n", Display(out).c_str(),
              unsigned(server.number), kServerExecutableName, server.text.c_str(), DescribeBuild(tree, built).c_str(),
              static_cast<unsigned long long>(size), cl.options.count("--sign-pkcs12") ? ", signed" : "");
  if (printKey) std::printf("key %s\n", KeyToHex(key).c_str());
  return 0;
}

int RunInspect(const Args& original) {
  Args args = original;
  bool json = TakeSwitch(args, "--json");
  CommandLine cl;
  if (!ParseCommandLine(args, {"--ca", "--stub"}, kInspectUsage, cl)) return cl.help ? 0 : 2;
  if (cl.positional.size() != 1) return Usage(kInspectUsage);
  const fs::path path = cl.positional[0];
  const fs::path stubPath = cl.options.count("--stub") ? fs::path(cl.options["--stub"]) : DefaultStubPath();
  const fs::path* ca = nullptr;
  fs::path caPath;
  if (cl.options.count("--ca")) ca = &(caPath = cl.options["--ca"]);

  InspectReport report;
  InspectSetup(path, stubPath, ca, report);
  std::fputs((json ? ReportJson(report) : ReportText(report)).c_str(), stdout);
  if (!report.faults.empty()) {
    for (const std::string& fault : report.faults) Fail(args[0], fault);
    return 1;
  }
  return 0;
}

}  // namespace tolvane::pack
