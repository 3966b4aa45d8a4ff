#include "tools/tolvane_pack/release_support.h"

#include <cstdio>
#include <fstream>
#include <system_error>

#include <zlib.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "package/file_version.h"
#include "package/install_limits.h"
#include "package/key_provider.h"
#include "package/manifest.h"
#include "resources/resource_ids.h"
#include "tools/tolvane_pack/file_io.h"
#include "tools/tolvane_pack/package_commands.h"
#include "tools/tolvane_pack/pe_resources.h"
#include "tools/tolvane_pack/release_signing.h"
#include "tools/tolvane_pack/text_codec.h"

namespace tolvane::pack {

namespace fs = std::filesystem;

bool ReadProductVersion(const fs::path& server, ServerVersion& version, std::string& error) {
  std::error_code ec;
  if (!fs::exists(server, ec))
    return error = Display(server) + ": no such file (the package version is read from it)", false;
  Bytes bytes;
  if (!ReadWholeFile(server, bytes, error)) return false;
  pe::Image image;
  std::string problem;
  if (!image.Parse(std::move(bytes), problem)) return error = Display(server) + ": no version resource: " + problem, false;
  const pe::ResourceData* info = image.Find(pe::kRtVersion, 1);
  std::u16string text;
  if (!info) return error = Display(server) + ": has no version resource", false;
  if (!pe::FindFileVersionText(info->bytes, text))
    return error = Display(server) + ": its version resource has no FileVersion (string table 040904b0 or 080404b0)", false;
  version.text = Utf16ToUtf8(text);
  version.number = FileVersionNumber(text);
  if (version.number == 0)
    return error = Display(server) + ": FileVersion \"" + version.text +
                   "\" gives version 0, which setup reads as no installed product", false;
  return true;
}

fs::path DefaultStubPath() {
#ifdef _WIN32
  wchar_t buffer[32768];
  DWORD n = GetModuleFileNameW(nullptr, buffer, 32768);
  if (n == 0 || n >= 32768) return {};
  return fs::path(std::wstring(buffer, n)).parent_path() / kStubFileName;
#else
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return self.parent_path() / kStubFileName;
#endif
}

bool RunProgram(const std::vector<std::string>& command, const fs::path& log, int& status, std::string& error) {
#ifdef _WIN32
  (void)log;
  (void)status;
  error = "cannot run " + command[0] + " from the Windows build of tolvane-pack; sign on Linux";
  return false;
#else
  std::vector<char*> argv;
  for (const std::string& a : command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return error = "cannot run " + command[0] + ": " + std::generic_category().message(rc), false;
  int wstatus = 0;
  while (waitpid(pid, &wstatus, 0) < 0) {
    if (errno != EINTR) return error = "lost " + command[0] + " while it ran", false;
  }
  // posix_spawnp reports a program missing from PATH through exit status 127.
  if (WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 127) return error = "cannot run " + command[0] + ": not installed?", false;
  status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
  return true;
#endif
}

std::string ProgramMessage(const fs::path& file) {
  std::ifstream in(file);
  std::string line, last;
  while (std::getline(in, line)) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    if (line.find("Failed to") != std::string::npos || line.find("rror") != std::string::npos) return line;
    last = line;
  }
  return last.empty() ? "no output" : last;
}

namespace {

std::string Hex32(uint32_t v) {
  char text[9];
  std::snprintf(text, sizeof text, "%08X", v);
  return text;
}

// Identifies a stub build: its section names and the bytes of every section but the
// resources, which are exactly what a release leaves as they were.
std::string StubIdentity(const pe::Image& image) {
  uLong crc = crc32(0, nullptr, 0);
  for (size_t i = 0; i < image.Sections().size(); ++i) {
    const pe::Section& s = image.Sections()[i];
    if (i == image.ResourceSectionIndex()) continue;
    crc = crc32(crc, reinterpret_cast<const Bytef*>(s.name.data()), uInt(s.name.size()));
    if (const uint8_t* bytes = image.SectionBytes(i)) crc = crc32(crc, bytes, uInt(s.rawSize));
  }
  return "crc32:" + Hex32(uint32_t(crc));
}

bool ParseFile(const fs::path& path, pe::Image& image, std::string& error) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec))
    return error = Display(path) + ": " + (fs::exists(path, ec) ? "not a regular file" : "no such file"), false;
  std::string problem;
  if (!image.ParseFile(path, kHeldResourceBytes, problem)) return error = Display(path) + ": " + problem, false;
  return true;
}

// The header checksum of a file read in pieces, its checksum field taken as zero.
bool ChecksumOfFile(const fs::path& path, uint64_t field, uint32_t& checksum) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  Bytes piece(1u << 20);
  pe::ChecksumAccumulator sum;
  for (uint64_t at = 0;;) {
    in.read(reinterpret_cast<char*>(piece.data()), std::streamsize(piece.size()));
    const size_t n = size_t(in.gcount());
    if (n == 0) break;
    for (uint64_t k = field; k < field + 4; ++k)
      if (k >= at && k < at + n) piece[size_t(k - at)] = 0;
    sum.Add(piece.data(), n);
    at += n;
  }
  checksum = sum.Finish();
  return true;
}

// A private folder of the system's temporary folder for the checks' files, made when
// first needed and removed with everything in it.
class CheckFolder {
 public:
  const fs::path* Get(std::string& error) {
    std::error_code ec;
    if (folder_.Path().empty() && !folder_.Make(fs::temp_directory_path(ec), "tolvane-verify", error)) return nullptr;
    return &folder_.Path();
  }

 private:
  TemporaryFolder folder_;
};

// Finds the PE files of a package as it is checked: a file that starts with "MZ" is
// copied into the check folder (a file created there anew), its headers read, and a
// signed one's signature checked with osslsigncode.
class ProgramFinder final : public PackageFileObserver {
 public:
  ProgramFinder(CheckFolder& folder, const fs::path* ca, InspectReport& report)
      : folder_(folder), ca_(ca), report_(report) {}
  void Begin(const std::u16string& name) override {
    name_ = name;
    front_.clear();
    copying_ = false;
    copy_.Discard();
  }
  bool Take(const uint8_t* data, size_t length, std::string& error) override {
    if (!copying_ && front_.size() < 2) {
      const size_t earlier = front_.size();  // bytes of the front that came in before
      front_.insert(front_.end(), data, data + std::min<size_t>(length, 2 - earlier));
      if (front_.size() < 2 || front_[0] != 'M' || front_[1] != 'Z') return true;
      const fs::path* folder = folder_.Get(error);
      if (!folder || !copy_.Start(*folder / "program", error)) return false;
      copying_ = true;
      if (!copy_.Write(front_.data(), earlier)) return error = "cannot copy a program out of the package", false;
    }
    if (copying_ && !copy_.Write(data, length)) return error = "cannot copy a program out of the package", false;
    return true;
  }
  bool End(std::string& error) override {
    if (!copying_) return true;
    copying_ = false;
    if (!copy_.Finish(error)) return false;
    uint32_t certificateBytes = 0;
    if (IsPeFile(copy_.TemporaryPath(), certificateBytes)) {
      InspectReport::Program program;
      program.name = Utf16ToUtf8(name_);
      if (certificateBytes) {
        SignatureCheck check = VerifySignature(copy_.TemporaryPath(), program.name, ca_, *folder_.Get(error));
        program.signature = check.state;
        program.signer = check.signer;
        program.detail = check.detail;
        if (check.state == "not verified")
          report_.faults.push_back(report_.file + ": " + program.name + ": signature " + check.detail);
      }
      report_.programs.push_back(program);
    }
    copy_.Discard();
    return true;
  }

 private:
  CheckFolder& folder_;
  const fs::path* ca_;
  InspectReport& report_;
  std::u16string name_;
  Bytes front_;
  bool copying_ = false;
  AtomicFileWriter copy_;
};

}  // namespace

bool CheckSetupPackage(const fs::path& path, std::string& error, const char* progressLabel, bool quiet) {
  pe::Image image;
  if (!ParseFile(path, image, error)) return false;
  const pe::ResourceData* manifest = image.Find(pe::kRtRcdata, IDR_MANIFEST);
  const pe::ResourceData* payload = image.Find(pe::kRtRcdata, IDR_PAYLOAD);
  if (!manifest || !payload || manifest->external) return error = "it carries no package (RCDATA 218 and 219)", false;
  PackageCheck check;
  return CheckPackageInFile(manifest->bytes, "RCDATA 218", path, payload->fileOffset, payload->Size(), "RCDATA 219",
                            check, error, progressLabel, quiet);
}

void InspectSetup(const fs::path& path, const fs::path& stubPath, const fs::path* ca, InspectReport& report,
                  bool quiet) {
  report = InspectReport();
  report.file = Display(path);
  CheckFolder checkFolder;
  pe::Image image;
  std::string error;
  if (!ParseFile(path, image, error)) return report.faults.push_back(error);
  report.size = image.FileSize();
  report.stubIdentity = StubIdentity(image);
  pe::Image stub;
  std::string ignored;
  std::error_code ec;
  report.stubMatch = "unknown";
  if (!stubPath.empty() && fs::exists(stubPath, ec) && ParseFile(stubPath, stub, ignored))
    report.stubMatch = StubIdentity(stub) == report.stubIdentity ? "same" : "different";

  report.wizardResources = image.Find(pe::kRtBitmap, IDB_WATERMARK) && image.Find(pe::kRtBitmap, IDB_HEADER) &&
                           image.Find(pe::kRtRcdata, IDR_LICENSE_RTF);
  for (int id = IDD_WELCOME; id <= IDD_UPGRADE_COMPLETION; ++id) report.wizardResources &= image.Find(5, uint16_t(id)) != nullptr;
  if (!report.wizardResources) report.faults.push_back(report.file + ": not a setup program (wizard pages, bitmaps or licence missing)");

  report.hardening = pe::AnalyseHardening(image);
  pe::HardeningFaults(report.hardening, report.file, report.faults);

  for (int id : {IDB_WATERMARK, IDB_HEADER})
    if (const pe::ResourceData* bitmap = image.Find(pe::kRtBitmap, uint16_t(id))) report.bitmapBytes += bitmap->Size();
  if (const pe::ResourceData* packed = image.Find(pe::kRtRcdata, IDR_DPI_BITMAPS)) report.bitmapBytes += packed->Size();

  report.storedChecksum = image.StoredChecksum();
  if (!ChecksumOfFile(path, image.ChecksumFieldOffset(), report.computedChecksum))
    report.faults.push_back(report.file + ": cannot be read through for its checksum");
  if (report.storedChecksum != report.computedChecksum)
    report.faults.push_back(report.file + ": the header checksum " + Hex32(report.storedChecksum) +
                            " does not match the file (" + Hex32(report.computedChecksum) + "): changed or damaged");

  // What an install of the file needs: the loader maps the whole image, package included,
  // and the install works beside it in memory of a bounded size.
  report.imageBytes = image.ImageSize();
  report.workingBytes = kInstallWorkingBytes;
  report.imageLimit = kMaxSetupImageBytes;
  if (report.imageBytes > report.imageLimit)
    report.faults.push_back(report.file + ": its image needs " + std::to_string(report.imageBytes) +
                            " bytes of address space, more than the " + std::to_string(report.imageLimit) +
                            " bytes a setup program can load and install: it cannot install");

  const pe::ResourceData* manifest = image.Find(pe::kRtRcdata, IDR_MANIFEST);
  const pe::ResourceData* payload = image.Find(pe::kRtRcdata, IDR_PAYLOAD);
  report.packagePresent = manifest && payload && !manifest->external;
  if (!report.packagePresent) {
    report.faults.push_back(report.file + ": carries no package (RCDATA 218 and 219): a bare stub?");
  } else {
    report.manifestBytes = manifest->Size();
    report.payloadBytes = payload->Size();
    PackageManifest parsed;
    ByteInputStream in(manifest->bytes.data(), manifest->bytes.size());
    PayloadKey key;
    report.keyOk = ReadManifest(in, parsed) && KeyProvider(parsed.KeyBlock, key);
    PackageCheck check;
    ProgramFinder programs(checkFolder, ca, report);
    report.packageOk = CheckPackageInFile(manifest->bytes, report.file + ": RCDATA 218", path, payload->fileOffset,
                                          payload->Size(), report.file + ": RCDATA 219", check, error, "inspect",
                                          quiet, &programs);
    report.version = check.manifest.Version;
    report.entries = check.manifest.Entries.size();
    report.files = check.files;
    report.folders = check.folders;
    report.totalBytes = check.manifest.TotalBytes;
    if (!report.packageOk) report.faults.push_back(error);
  }
  report.overhead = report.size - report.manifestBytes - report.payloadBytes - report.bitmapBytes;
  if (image.CertificateSize()) {
    SignatureCheck check;
    check.state = "not verified";
    if (const fs::path* folder = checkFolder.Get(check.detail)) check = VerifySignature(path, report.file, ca, *folder);
    report.signature = check.state;
    report.signatureDetail = check.detail;
    report.signer = check.signer;
    if (report.signature == "not verified") report.faults.push_back("signature " + report.signatureDetail);
  }
}

std::string ReportText(const InspectReport& r) {
  std::string t;
  auto line = [&](const std::string& name, const std::string& value) { t += name + ": " + value + "\n"; };
  line("file", r.file + (r.size ? " (" + std::to_string(r.size) + " bytes)" : ""));
  if (r.size == 0) return t;
  line("stub", r.stubIdentity + (r.stubMatch == "same"        ? ", the stub beside this tool"
                                 : r.stubMatch == "different" ? ", not the stub beside this tool"
                                                              : ""));
  line("wizard resources", r.wizardResources ? "present" : "missing");
  line("stub overhead", std::to_string(r.overhead) + " bytes (the file without its package and the wizard's bitmaps)");
  line("checksum", Hex32(r.storedChecksum) + (r.storedChecksum == r.computedChecksum ? " (matches)" : " (does not match)"));
  t += pe::HardeningText(r.hardening);
  line("install needs", "image " + std::to_string(r.imageBytes) + " bytes mapped, working memory " +
                            std::to_string(r.workingBytes) + " bytes; address space " +
                            std::to_string(r.imageBytes + r.workingBytes) + " bytes (" +
                            (r.imageBytes <= r.imageLimit ? "installs" : "cannot install") + ": images up to " +
                            std::to_string(r.imageLimit) + " bytes load)");
  if (r.packagePresent) {
    line("package", "version " + std::to_string(r.version) + ", " + std::to_string(r.entries) + " entries (" +
                        std::to_string(r.files) + " files, " + std::to_string(r.folders) + " folders), TotalBytes " +
                        std::to_string(r.totalBytes));
    line("resources", "manifest " + std::to_string(r.manifestBytes) + " bytes, payload " + std::to_string(r.payloadBytes) + " bytes");
    line("key block", r.keyOk ? "yields a key" : "yields no key");
    line("payload", r.packageOk ? "deciphers to an archive holding every manifest file, total matches" : "does not check out");
  } else {
    line("package", "none");
  }
  for (const InspectReport::Program& p : r.programs)
    line("program", p.name + ": " +
                        (p.signature == "none" ? "not signed"
                                               : "signed" + (p.signer.empty() ? "" : " by " + p.signer) + ", " +
                                                     p.signature + (p.detail.empty() ? "" : ": " + p.detail)));
  line("signature", r.signature + (r.signer.empty() ? "" : ", signed by " + r.signer) +
                        (r.signatureDetail.empty() ? "" : ": " + r.signatureDetail));
  line("result", r.faults.empty() ? "ok" : std::to_string(r.faults.size()) + " fault(s)");
  return t;
}

std::string ReportJson(const InspectReport& r) {
  nlohmann::ordered_json j;
  j["file"] = r.file;
  j["size"] = r.size;
  j["stub_identity"] = r.stubIdentity;
  j["stub_match"] = r.stubMatch;
  j["wizard_resources"] = r.wizardResources;
  j["checksum_ok"] = r.size && r.storedChecksum == r.computedChecksum;
  j["package_present"] = r.packagePresent;
  j["version"] = r.version;
  j["entries"] = r.entries;
  j["files"] = r.files;
  j["folders"] = r.folders;
  j["total_bytes"] = r.totalBytes;
  j["manifest_bytes"] = r.manifestBytes;
  j["payload_bytes"] = r.payloadBytes;
  j["bitmap_bytes"] = r.bitmapBytes;
  j["stub_overhead"] = r.overhead;
  j["image_bytes"] = r.imageBytes;
  j["working_bytes"] = r.workingBytes;
  j["address_space_bytes"] = r.imageBytes + r.workingBytes;
  j["image_limit"] = r.imageLimit;
  j["installable"] = r.size && r.imageBytes <= r.imageLimit;
  j["key_ok"] = r.keyOk;
  j["payload_ok"] = r.packageOk;
  j["signature"] = r.signature;
  j["signature_detail"] = r.signatureDetail;
  j["signer"] = r.signer;
  j["programs"] = nlohmann::ordered_json::array();
  for (const InspectReport::Program& p : r.programs)
    j["programs"].push_back({{"name", p.name}, {"signature", p.signature}, {"signer", p.signer}, {"detail", p.detail}});
  pe::AddHardeningJson(r.hardening, j);
  j["faults"] = r.faults;
  j["ok"] = r.faults.empty();
  // Names come from files and may not be UTF-8: shown with U+FFFD rather than refused.
  return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

}  // namespace tolvane::pack
